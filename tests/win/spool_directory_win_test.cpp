#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/paths.h"
#include "base/win_text.h"
#include "delivery/message_types.h"
#include "delivery/spool_directory.h"
#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

// FILETIME counts 100 ns steps from 1601.
constexpr int64_t kFileTimeAt1970 = 116444736000000000;

void SetWriteTime(const std::string& path, int64_t unixNs) {
  const HANDLE file = CreateFileW(Utf8ToWide(path).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const uint64_t ticks = static_cast<uint64_t>(unixNs / 100 + kFileTimeAt1970);
  const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &time));
  CloseHandle(file);
}

class SpoolDirectoryWinTest : public ::testing::Test {
 protected:
  std::string Prefix() const { return JoinPath(dir.Path().string(), ""); }
  testing::TempDir dir;
};

// Write times in the file system's 100 ns steps, as nanoseconds since 1970.
TEST_F(SpoolDirectoryWinTest, ListsWriteTimesToTheHundredNanoseconds) {
  testing::WriteFileBytes(dir.Path() / "5265C00.dd8", "abcd");
  SetWriteTime(dir.File("5265C00.dd8"), 1234000567800);
  const std::vector<FoundSpoolFile> found = SpoolDirectory(Prefix()).List();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].modifiedNs, 1234000567800);
}

// A spool file that another program holds open, as a virus scanner does for a moment, still
// goes once acknowledged: deleting needs only that the holder shares deletion, which the
// driver's own reads do.
TEST_F(SpoolDirectoryWinTest, AFileBeingReadCanBeRemovedAndNamesStayFree) {
  SpoolDirectory spool(Prefix());
  const std::vector<NewSpoolFile> batch = {
      {"1CB33733", SpoolFileBytes(MsgEventRecord, std::vector<uint8_t>(27, 1))}};
  std::vector<std::string> paths;
  ASSERT_EQ(spool.WriteNew(batch, &paths), 1u);
  const HANDLE reader = CreateFileW(Utf8ToWide(paths[0]).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(spool.Remove(paths[0]));
  CloseHandle(reader);
  EXPECT_TRUE(spool.List().empty());
}

// "\" and "/" both end the directory part of the prefix.
TEST_F(SpoolDirectoryWinTest, EitherSeparatorNamesTheDirectory) {
  testing::WriteFileBytes(dir.Path() / "ev5265C00.dd8", "abcd");
  testing::WriteFileBytes(dir.Path() / "5265C01.dd8", "abcd");
  const std::string withSlash = dir.Path().string() + "/ev";
  const std::string withBackslash = dir.Path().string() + "\\ev";
  for (const std::string& prefix : {withSlash, withBackslash}) {
    SCOPED_TRACE(prefix);
    const std::vector<FoundSpoolFile> found = SpoolDirectory(prefix).List();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, "ev5265C00.dd8");
  }
}

}  // namespace
}  // namespace drv
