#include "delivery/spool_directory.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "delivery/message_types.h"
#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;
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
  WriteFileBytes(dir.file("record.dd8"), AsString(Message(7)));
  WriteFileBytes(dir.file("four.dd8"), std::string("\x04\x03\x02\x01", 4));
  WriteFileBytes(dir.file("three.dd8"), "abc");
  WriteFileBytes(dir.file("empty.dd8"), "");
  WriteFileBytes(dir.file("huge.dd8"), std::string(kMaxSpoolFileSize + 1, 'x'));
  fs::create_directory(dir.path() / "folder.dd8");
  ASSERT_EQ(::mkfifo(dir.file("pipe.dd8").c_str(), 0600), 0);

  SpoolReadError error = SpoolReadError::None;
  const auto record = ReadSpoolFile(dir.file("record.dd8"), &error);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(error, SpoolReadError::None);
  EXPECT_EQ(record->type, MsgEventRecord);
  EXPECT_EQ(record->payload, std::vector<uint8_t>(27, 7));

  const auto four = ReadSpoolFile(dir.file("four.dd8"), &error);
  ASSERT_TRUE(four.has_value());
  EXPECT_EQ(four->type, 0x01020304u);
  EXPECT_THAT(four->payload, IsEmpty());

  const struct {
    const char* name;
    SpoolReadError error;
  } failures[] = {
      {"missing.dd8", SpoolReadError::NotFound},
      {"three.dd8", SpoolReadError::TooShort},
      {"empty.dd8", SpoolReadError::Empty},
      {"huge.dd8", SpoolReadError::TooLarge},
      {"folder.dd8", SpoolReadError::NotRegularFile},
      // Must come back at once rather than wait for a writer.
      {"pipe.dd8", SpoolReadError::NotRegularFile},
  };
  for (const auto& c : failures) {
    SCOPED_TRACE(c.name);
    error = SpoolReadError::None;
    EXPECT_FALSE(ReadSpoolFile(dir.file(c.name), &error).has_value());
    EXPECT_EQ(error, c.error);
    EXPECT_FALSE(ReadSpoolFile(dir.file(c.name)).has_value());
  }
}

class SpoolDirectoryTest : public ::testing::Test {
 protected:
  std::string Prefix() const { return dir.path().string() + "/"; }

  TempDir dir;
};

TEST_F(SpoolDirectoryTest, ABatchGetsFilesOfItsOwnInOrderAndNeverReplacesOne) {
  // A file of the same moment of an earlier month.
  WriteFileBytes(dir.path() / "1CB33733.dd8", "earlier month");
  SpoolDirectory spool(Prefix());
  const std::vector<NewSpoolFile> batch = {
      {"1CB33733", Message(1)}, {"1CB33733", Message(2)}, {"1CB33733", Message(3)}};
  std::vector<std::string> paths;
  ASSERT_EQ(spool.WriteNew(batch, &paths), 3u);

  EXPECT_THAT(paths, ElementsAre(Prefix() + "1CB33733-1.dd8", Prefix() + "1CB33733-2.dd8",
                                 Prefix() + "1CB33733-3.dd8"));
  EXPECT_EQ(ReadFileBytes(dir.path() / "1CB33733.dd8"), "earlier month");
  for (uint8_t i = 0; i < 3; ++i) EXPECT_EQ(ReadFileBytes(paths[i]), AsString(Message(i + 1)));
  // Only finished spool files: no temporary file is left behind.
  EXPECT_THAT(NamesIn(dir.path()),
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
  EXPECT_THAT(NamesIn(dir.path()), IsEmpty());
  EXPECT_THAT(spool.List(), IsEmpty());
}

TEST_F(SpoolDirectoryTest, ListsOnlyTheLocationsSpoolFilesWithTheirWriteTimes) {
  WriteFileBytes(dir.path() / "ev5265C00.dd8", AsString(Message(1)));
  WriteFileBytes(dir.path() / "5265C00.dd8", AsString(Message(2)));  // lacks the name start
  WriteFileBytes(dir.path() / "ev5265C01.dd8.bad", "set aside");
  WriteFileBytes(dir.path() / ".spool-1-0.tmp", AsString(Message(3)));
  const timespec times[2] = {{0, UTIME_OMIT}, {1234, 567}};
  ASSERT_EQ(::utimensat(AT_FDCWD, dir.file("ev5265C00.dd8").c_str(), times, 0), 0);

  const std::vector<FoundSpoolFile> found = SpoolDirectory(Prefix() + "ev").List();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].name, "ev5265C00.dd8");
  EXPECT_EQ(found[0].modifiedNs, 1234000000567);
}

TEST_F(SpoolDirectoryTest, SetAsideKeepsTheFileUnderANameThatIsNotSent) {
  SpoolDirectory spool(Prefix());
  WriteFileBytes(dir.path() / "A.dd8", "ab");
  WriteFileBytes(dir.path() / "A.dd8.bad", "set aside earlier");
  EXPECT_EQ(spool.SetAside(dir.file("A.dd8")), SetAsideResult::Moved);
  EXPECT_EQ(spool.SetAside(dir.file("A.dd8")), SetAsideResult::Gone);
  EXPECT_THAT(NamesIn(dir.path()), ElementsAre("A.dd8.1.bad", "A.dd8.bad"));
  EXPECT_EQ(ReadFileBytes(dir.path() / "A.dd8.1.bad"), "ab");
  EXPECT_EQ(ReadFileBytes(dir.path() / "A.dd8.bad"), "set aside earlier");

  EXPECT_TRUE(spool.Remove(dir.file("A.dd8.1.bad")));
  EXPECT_TRUE(spool.Remove(dir.file("A.dd8.1.bad"))) << "gone already counts as removed";
  EXPECT_THAT(NamesIn(dir.path()), ElementsAre("A.dd8.bad"));
}

}  // namespace
}  // namespace drv
