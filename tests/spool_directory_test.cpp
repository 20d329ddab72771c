#include "delivery/spool_directory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/paths.h"
#include "delivery/message_types.h"
#include "tests/fakes/fake_file_system.h"
#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using drv::testing::FakeFileSystem;
using drv::testing::FileOp;
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
  EXPECT_EQ(found[0].size, Message(1).size());
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

// The same directory over a disk that fails where told.
class SpoolDirectoryOnFailingDiskTest : public ::testing::Test {
 protected:
  SpoolDirectoryOnFailingDiskTest() { disk.AddDirectory("/spool"); }
  FakeFileSystem disk;
};

TEST_F(SpoolDirectoryOnFailingDiskTest, AFullDiskTakesNothingAndSaysSo) {
  SpoolDirectory spool("/spool/", disk);
  disk.Fail({FileOp::kWrite, FileErrorKind::kNoSpace, "", 1});
  const std::vector<NewSpoolFile> batch = {{"1CB33733", Message(1)}, {"1CB33733", Message(2)}};
  std::vector<std::string> paths;
  std::optional<FileError> error;
  EXPECT_EQ(spool.WriteNew(batch, &paths, &error), 0u);
  EXPECT_THAT(paths, IsEmpty());
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->kind, FileErrorKind::kNoSpace);
  EXPECT_THAT(disk.Names("/spool"), IsEmpty());

  // Room again: the batch goes whole, under the names it would have had.
  EXPECT_EQ(spool.WriteNew(batch, &paths, &error), 2u);
  EXPECT_FALSE(error.has_value());
  EXPECT_THAT(paths, ElementsAre("/spool/1CB33733.dd8", "/spool/1CB33733-1.dd8"));
}

TEST_F(SpoolDirectoryOnFailingDiskTest, ABatchCutShortKeepsItsOrderAndTheNamesCountOn) {
  SpoolDirectory spool("/spool/", disk);
  disk.Fail({FileOp::kCreateNew, FileErrorKind::kTooManyOpenFiles, "", 3});
  const std::vector<NewSpoolFile> batch = {
      {"1CB33733", Message(1)}, {"1CB33733", Message(2)}, {"1CB33733", Message(3)}};
  std::vector<std::string> paths;
  ASSERT_EQ(spool.WriteNew(batch, &paths), 2u);
  EXPECT_THAT(disk.Names("/spool"), ElementsAre("1CB33733-1.dd8", "1CB33733.dd8"));

  ASSERT_EQ(spool.WriteNew(std::span(batch).subspan(2), &paths), 1u);
  EXPECT_THAT(paths,
              ElementsAre("/spool/1CB33733.dd8", "/spool/1CB33733-1.dd8", "/spool/1CB33733-2.dd8"));
  for (uint8_t i = 0; i < 3; ++i) EXPECT_EQ(disk.Contents(paths[i]), AsString(Message(i + 1)));
}

// A file that cannot be read for a passing reason is told from one that is damaged.
TEST_F(SpoolDirectoryOnFailingDiskTest, AFailedReadSaysWhyAndWhatTheSystemSaid) {
  SpoolDirectory spool("/spool/", disk);
  disk.AddFile("/spool/held.dd8", AsString(Message(1)));
  disk.AddFile("/spool/failing.dd8", AsString(Message(2)));
  disk.AddSpecialFile("/spool/pipe.dd8");
  disk.Fail({FileOp::kOpenForReading, FileErrorKind::kBusy, "/spool/held.dd8", 0});
  disk.Fail({FileOp::kRead, FileErrorKind::kIoError, "/spool/failing.dd8", 0});
  const struct {
    const char* path;
    SpoolReadError error;
    std::optional<FileErrorKind> systemKind;
  } cases[] = {
      {"/spool/held.dd8", SpoolReadError::kCannotOpen, FileErrorKind::kBusy},
      {"/spool/failing.dd8", SpoolReadError::kReadFailed, FileErrorKind::kIoError},
      {"/spool/pipe.dd8", SpoolReadError::kNotRegularFile, std::nullopt},
      {"/spool/missing.dd8", SpoolReadError::kNotFound, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    SpoolReadError error = SpoolReadError::kNone;
    std::optional<FileError> systemError;
    EXPECT_FALSE(spool.Read(c.path, &error, &systemError).has_value());
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(systemError ? std::optional(systemError->kind) : std::nullopt, c.systemKind);
  }
  EXPECT_EQ(disk.OpenFiles(), 0u);
}

TEST_F(SpoolDirectoryOnFailingDiskTest, OneHolderOfTheDirectoryAtATime) {
  auto first = std::make_unique<SpoolDirectory>("/spool/", disk);
  SpoolDirectory second("/spool/", disk);
  EXPECT_EQ(first->TryLock(), SpoolDirectory::LockResult::kLocked);
  EXPECT_EQ(first->TryLock(), SpoolDirectory::LockResult::kLocked) << "held already";
  EXPECT_EQ(second.TryLock(), SpoolDirectory::LockResult::kHeldByAnother);
  first.reset();
  EXPECT_EQ(second.TryLock(), SpoolDirectory::LockResult::kLocked);

  EXPECT_EQ(SpoolDirectory("/missing/", disk).TryLock(), SpoolDirectory::LockResult::kUnavailable);
}

TEST_F(SpoolDirectoryOnFailingDiskTest, OnlyTheTemporariesOfWritesAreRemoved) {
  for (const char* name : {".spool-12-0.tmp", ".spool-7-31.tmp", "A.dd8", "settings.ini.tmp"}) {
    disk.AddFile(std::string("/spool/") + name, "x");
  }
  SpoolDirectory("/spool/", disk).RemoveTemporaries();
  EXPECT_THAT(disk.Names("/spool"), ElementsAre("A.dd8", "settings.ini.tmp"));
}

TEST_F(SpoolDirectoryOnFailingDiskTest, AFileThatCannotBeRenamedIsNotSetAside) {
  disk.AddFile("/spool/A.dd8", "ab");
  disk.Fail({FileOp::kRenameWithoutReplacing, FileErrorKind::kAccessDenied, "", 0});
  EXPECT_EQ(SpoolDirectory("/spool/", disk).SetAside("/spool/A.dd8"), SetAsideResult::kFailed);
  EXPECT_THAT(disk.Names("/spool"), ElementsAre("A.dd8"));
}

}  // namespace
}  // namespace drv
