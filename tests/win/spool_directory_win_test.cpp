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

class SpoolDirectoryWinTest : public ::testing::Test {
 protected:
  std::string Prefix() const { return JoinPath(dir.Path().string(), ""); }
  testing::TempDir dir;
};

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
