#include "delivery/spool_directory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "base/paths.h"
#include "delivery/message_types.h"
#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using drv::testing::ReadFileBytes;
using drv::testing::TempDir;
using drv::testing::WriteFileBytes;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string AsString(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

std::vector<uint8_t> Message(uint8_t tag) {
  return SpoolFileBytes(MsgEventRecord, std::vector<uint8_t>(27, tag));
}

std::vector<std::string> NamesIn(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ReadSpoolFileTest, ReadsTypeAndPayloadOrSaysWhyNot) {
  TempDir dir;
  WriteFileBytes(dir.File("record.dd8"), AsString(Message(7)));
  WriteFileBytes(dir.File("four.dd8"), std::string("\x04\x03\x02\x01", 4));
  WriteFileBytes(dir.File("three.dd8"), "abc");
  WriteFileBytes(dir.File("empty.dd8"), "");
  WriteFileBytes(dir.File("huge.dd8"), std::string(kMaxSpoolFileSize + 1, 'x'));
  fs::create_directory(dir.Path() / "folder.dd8");

  SpoolReadError error = SpoolReadError::kNone;
  const auto record = ReadSpoolFile(dir.File("record.dd8"), &error);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(error, SpoolReadError::kNone);
  EXPECT_EQ(record->type, MsgEventRecord);
  EXPECT_EQ(record->payload, std::vector<uint8_t>(27, 7));

  const auto four = ReadSpoolFile(dir.File("four.dd8"), &error);
  ASSERT_TRUE(four.has_value());
  EXPECT_EQ(four->type, 0x01020304u);
  EXPECT_THAT(four->payload, IsEmpty());

  const struct {
    const char* name;
    SpoolReadError error;
  } failures[] = {
      {"missing.dd8", SpoolReadError::kNotFound},      {"three.dd8", SpoolReadError::kTooShort},
      {"empty.dd8", SpoolReadError::kEmpty},           {"huge.dd8", SpoolReadError::kTooLarge},
      {"folder.dd8", SpoolReadError::kNotRegularFile},
  };
  for (const auto& c : failures) {
    SCOPED_TRACE(c.name);
    error = SpoolReadError::kNone;
    EXPECT_FALSE(ReadSpoolFile(dir.File(c.name), &error).has_value());
    EXPECT_EQ(error, c.error);
    EXPECT_FALSE(ReadSpoolFile(dir.File(c.name)).has_value());
  }
}

class SpoolDirectoryTest : public ::testing::Test {
 protected:
  std::string Prefix() const { return JoinPath(dir.Path().string(), ""); }

  TempDir dir;
};

TEST_F(SpoolDirectoryTest, ABatchGetsFilesOfItsOwnInOrderAndNeverReplacesOne) {
  // A file of the same moment of an earlier month.
  WriteFileBytes(dir.Path() / "1CB33733.dd8", "earlier month");
  SpoolDirectory spool(Prefix());
  const std::vector<NewSpoolFile> batch = {
      {"1CB33733", Message(1)}, {"1CB33733", Message(2)}, {"1CB33733", Message(3)}};
  std::vector<std::string> paths;
  ASSERT_EQ(spool.WriteNew(batch, &paths), 3u);

  EXPECT_THAT(paths, ElementsAre(Prefix() + "1CB33733-1.dd8", Prefix() + "1CB33733-2.dd8",
                                 Prefix() + "1CB33733-3.dd8"));
  EXPECT_EQ(ReadFileBytes(dir.Path() / "1CB33733.dd8"), "earlier month");
  for (uint8_t i = 0; i < 3; ++i) EXPECT_EQ(ReadFileBytes(paths[i]), AsString(Message(i + 1)));
  // Only finished spool files: no temporary file is left behind.
  EXPECT_THAT(NamesIn(dir.Path()),
              ElementsAre("1CB33733-1.dd8", "1CB33733-2.dd8", "1CB33733-3.dd8", "1CB33733.dd8"));

  // The next batch of the same moment counts on; a new moment starts without a suffix.
  paths.clear();
  const std::vector<NewSpoolFile> next = {{"1CB33733", Message(4)}, {"1CB33734", Message(5)}};
  ASSERT_EQ(spool.WriteNew(next, &paths), 2u);
  EXPECT_THAT(paths, ElementsAre(Prefix() + "1CB33733-4.dd8", Prefix() + "1CB33734.dd8"));
}

TEST_F(SpoolDirectoryTest, NothingIsWrittenWhereTheDirectoryIsMissing) {
  SpoolDirectory spool(Prefix() + "missing/");
  std::vector<std::string> paths;
  const std::vector<NewSpoolFile> batch = {{"1CB33733", Message(1)}};
  EXPECT_EQ(spool.WriteNew(batch, &paths), 0u);
  EXPECT_THAT(paths, IsEmpty());
  EXPECT_THAT(NamesIn(dir.Path()), IsEmpty());
  EXPECT_THAT(spool.List(), IsEmpty());
}

TEST_F(SpoolDirectoryTest, ListsOnlyTheLocationsSpoolFilesWithTheirWriteTimes) {
  WriteFileBytes(dir.Path() / "ev5265C00.dd8", AsString(Message(1)));
  WriteFileBytes(dir.Path() / "5265C00.dd8", AsString(Message(2)));  // lacks the name start
  WriteFileBytes(dir.Path() / "ev5265C01.dd8.bad", "set aside");
  WriteFileBytes(dir.Path() / ".spool-1-0.tmp", AsString(Message(3)));
  // Whole seconds: what every platform's way of setting the time keeps (the system's own
  // resolution is tested beside the platform files).
  fs::last_write_time(dir.Path() / "ev5265C00.dd8",
                      std::chrono::file_clock::from_sys(std::chrono::sys_seconds(1234s)));

  const std::vector<FoundSpoolFile> found = SpoolDirectory(Prefix() + "ev").List();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].name, "ev5265C00.dd8");
  EXPECT_EQ(found[0].modifiedNs, 1234000000000);
}

TEST_F(SpoolDirectoryTest, SetAsideKeepsTheFileUnderANameThatIsNotSent) {
  SpoolDirectory spool(Prefix());
  WriteFileBytes(dir.Path() / "A.dd8", "ab");
  WriteFileBytes(dir.Path() / "A.dd8.bad", "set aside earlier");
  EXPECT_EQ(spool.SetAside(dir.File("A.dd8")), SetAsideResult::kMoved);
  EXPECT_EQ(spool.SetAside(dir.File("A.dd8")), SetAsideResult::kGone);
  EXPECT_THAT(NamesIn(dir.Path()), ElementsAre("A.dd8.1.bad", "A.dd8.bad"));
  EXPECT_EQ(ReadFileBytes(dir.Path() / "A.dd8.1.bad"), "ab");
  EXPECT_EQ(ReadFileBytes(dir.Path() / "A.dd8.bad"), "set aside earlier");

  EXPECT_TRUE(spool.Remove(dir.File("A.dd8.1.bad")));
  EXPECT_TRUE(spool.Remove(dir.File("A.dd8.1.bad"))) << "gone already counts as removed";
  EXPECT_THAT(NamesIn(dir.Path()), ElementsAre("A.dd8.bad"));
}

}  // namespace
}  // namespace drv
