#include "base/durable_write.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/paths.h"
#include "tests/fakes/fake_file_system.h"
#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::FakeFileSystem;
using testing::FileOp;
using testing::InjectedFailure;
using ::testing::IsEmpty;

std::span<const uint8_t> AsBytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Temporary files "<dir>.tmp-N", final names "<dir>f<index>.txt", then "-1", "-2", ... behind
// the name while it is taken, up to `maxTaken` tries.
class TestNames final : public INewFileNames {
 public:
  explicit TestNames(std::string directory, unsigned maxTaken = 10)
      : directory_(std::move(directory)), maxTaken_(maxTaken) {}

  std::string TemporaryPath() override { return directory_ + ".tmp-" + std::to_string(next_++); }
  std::optional<std::string> FinalPath(std::size_t index, unsigned taken) override {
    if (taken >= maxTaken_) return std::nullopt;
    return FinalPathOf(index, taken);
  }
  void Named(std::size_t index) override { named.push_back(index); }

  std::string FinalPathOf(std::size_t index, unsigned taken = 0) const {
    return directory_ + "f" + std::to_string(index) +
           (taken == 0 ? "" : "-" + std::to_string(taken)) + ".txt";
  }

  std::vector<std::size_t> named;

 private:
  std::string directory_;
  unsigned maxTaken_;
  unsigned next_ = 0;
};

std::vector<std::string> Contents(std::size_t count) {
  std::vector<std::string> contents;
  for (std::size_t i = 0; i < count; ++i) {
    contents.push_back("file " + std::to_string(i) + " " + std::string(i * 3, 'x'));
  }
  return contents;
}

std::vector<NewFileToWrite> FilesOf(const std::vector<std::string>& contents,
                                    std::optional<int64_t> modifiedNs = std::nullopt) {
  std::vector<NewFileToWrite> files;
  for (const std::string& bytes : contents) files.push_back({AsBytes(bytes), modifiedNs});
  return files;
}

// The directory "/d" holds exactly the first `count` files of the batch, whole, durably, under
// their first names; nothing else (no temporary file, no half file).
void ExpectFirstFilesOnly(const FakeFileSystem& fake, std::size_t count,
                          const std::vector<std::string>& contents, const NewFilesWritten& written,
                          const TestNames& names) {
  std::vector<std::string> expectedPaths;
  std::vector<std::string> expectedNames;
  for (std::size_t i = 0; i < count; ++i) {
    expectedPaths.push_back(names.FinalPathOf(i));
    expectedNames.push_back("f" + std::to_string(i) + ".txt");
  }
  EXPECT_THAT(written.paths, ElementsAreArray(expectedPaths));
  EXPECT_THAT(fake.Names("/d"), ElementsAreArray(expectedNames));
  for (std::size_t i = 0; i < count; ++i) {
    EXPECT_EQ(fake.Contents(expectedPaths[i]), contents[i]);
    EXPECT_TRUE(fake.IsDurable(expectedPaths[i])) << expectedPaths[i];
  }
  EXPECT_EQ(fake.OpenFiles(), 0u);
}

// The same rules over a file system that flushes a batch with one call (as Linux) and over one
// that flushes each file and writes renames through (as Windows).
class DurableWriteTest : public ::testing::TestWithParam<bool> {
 protected:
  DurableWriteTest() : fake(/*flushesBatches=*/GetParam()) { fake.AddDirectory("/d"); }

  FakeFileSystem fake;
};

INSTANTIATE_TEST_SUITE_P(FlushKinds, DurableWriteTest, ::testing::Values(true, false),
                         [](const auto& test) { return test.param ? "Batch" : "PerFile"; });

// A file alone, as a frame of one record, and a batch, as a block message's records.
TEST_P(DurableWriteTest, EveryFileLiesWholeAndDurablyUnderItsNameWithItsTime) {
  for (const std::size_t count : {1u, 3u}) {
    SCOPED_TRACE(count);
    FakeFileSystem disk(GetParam());
    disk.AddDirectory("/d");
    const std::vector<std::string> contents = Contents(count);
    TestNames names("/d/");
    const NewFilesWritten written =
        WriteNewFilesDurably(disk, "/d/", FilesOf(contents, 1234567000000000), names);
    EXPECT_FALSE(written.error.has_value());
    ExpectFirstFilesOnly(disk, count, contents, written, names);
    EXPECT_EQ(names.named.size(), count);
    for (const std::string& path : written.paths) {
      EXPECT_EQ(disk.ModifiedTime(path), 1234567000000000);
    }
  }
}

TEST_P(DurableWriteTest, ATakenNameIsPassedByAndTheFileThereKept) {
  fake.AddFile("/d/f0.txt", "someone else's");
  fake.AddFile("/d/f0-1.txt", "and another");
  const std::vector<std::string> contents = Contents(2);
  TestNames names("/d/");
  const NewFilesWritten written = WriteNewFilesDurably(fake, "/d/", FilesOf(contents), names);
  EXPECT_THAT(written.paths, ElementsAre("/d/f0-2.txt", "/d/f1.txt"));
  EXPECT_EQ(fake.Contents("/d/f0.txt"), "someone else's");
  EXPECT_EQ(fake.Contents("/d/f0-1.txt"), "and another");
  EXPECT_EQ(fake.Contents("/d/f0-2.txt"), contents[0]);
  EXPECT_THAT(fake.Names("/d"), ElementsAre("f0-1.txt", "f0-2.txt", "f0.txt", "f1.txt"));
}

TEST_P(DurableWriteTest, ATakenTemporaryNameIsPassedBy) {
  fake.AddFile("/d/.tmp-0", "left by a crash of another process");
  const std::vector<std::string> contents = Contents(1);
  TestNames names("/d/");
  const NewFilesWritten written = WriteNewFilesDurably(fake, "/d/", FilesOf(contents), names);
  EXPECT_THAT(written.paths, ElementsAre("/d/f0.txt"));
  EXPECT_EQ(fake.Contents("/d/.tmp-0"), "left by a crash of another process");
}

TEST_P(DurableWriteTest, AFileWhoseNamesAreAllTakenEndsTheBatch) {
  fake.AddFile("/d/f1.txt", "");
  fake.AddFile("/d/f1-1.txt", "");
  const std::vector<std::string> contents = Contents(3);
  TestNames names("/d/", /*maxTaken=*/2);
  const NewFilesWritten written = WriteNewFilesDurably(fake, "/d/", FilesOf(contents), names);
  EXPECT_THAT(written.paths, ElementsAre("/d/f0.txt"));
  ASSERT_TRUE(written.error.has_value());
  EXPECT_EQ(written.error->kind, FileErrorKind::kAlreadyExists);
  EXPECT_THAT(fake.Names("/d"), ElementsAre("f0.txt", "f1-1.txt", "f1.txt"));
}

// A failure at any step of any file: the files before it stay, durably and in order; of the
// failing file and those behind it nothing is left, neither a temporary file nor a half file
// under a final name. A failing final flush leaves nothing of the batch.
TEST_P(DurableWriteTest, AFailureAtAnyStepKeepsTheFilesBeforeItAndNothingElse) {
  const bool batch = GetParam();
  struct Case {
    const char* name;
    FileOp op;
    int nthCall;
    std::size_t keptWithBatchFlush;
    std::size_t keptFlushingEach;
  };
  const Case cases[] = {
      {"first create", FileOp::kCreateNew, 1, 0, 0},
      {"second create", FileOp::kCreateNew, 2, 1, 1},
      {"second write", FileOp::kWrite, 2, 1, 1},
      {"third write", FileOp::kWrite, 3, 2, 2},
      {"second time", FileOp::kSetModifiedTime, 2, 1, 1},
      {"second close", FileOp::kClose, 2, 1, 1},
      {"second rename", FileOp::kRenameWithoutReplacing, 2, 1, 1},
      {"second file flush", FileOp::kFlush, 2, 3, 1},
      {"batch flush", FileOp::kFlushBatch, 1, 0, 3},
      {"directory flush", FileOp::kFlushDirectory, 1, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFileSystem failing(batch);
    failing.AddDirectory("/d");
    failing.Fail({c.op, FileErrorKind::kNoSpace, "", c.nthCall});
    const std::vector<std::string> contents = Contents(3);
    TestNames names("/d/");
    const NewFilesWritten written =
        WriteNewFilesDurably(failing, "/d/", FilesOf(contents, 1000000000), names);
    const std::size_t kept = batch ? c.keptWithBatchFlush : c.keptFlushingEach;
    ExpectFirstFilesOnly(failing, kept, contents, written, names);
    if (kept < 3) {
      ASSERT_TRUE(written.error.has_value());
      EXPECT_EQ(written.error->kind, FileErrorKind::kNoSpace);
    } else {
      EXPECT_FALSE(written.error.has_value());
    }
  }
}

// Closing the program writes thousands of records at once; a service may open some 1024 files.
TEST_P(DurableWriteTest, ABatchLargerThanTheOpenFileLimitIsWrittenWhole) {
  fake.SetOpenFileLimit(2);
  const std::vector<std::string> contents = Contents(300);
  TestNames names("/d/");
  const NewFilesWritten written = WriteNewFilesDurably(fake, "/d/", FilesOf(contents), names);
  EXPECT_FALSE(written.error.has_value());
  ASSERT_EQ(written.paths.size(), contents.size());
  for (std::size_t i = 0; i < contents.size(); ++i) {
    EXPECT_EQ(fake.Contents(written.paths[i]), contents[i]);
    EXPECT_TRUE(fake.IsDurable(written.paths[i]));
  }
}

TEST_P(DurableWriteTest, NothingIsWrittenWhereTheDirectoryIsMissing) {
  const std::vector<std::string> contents = Contents(2);
  TestNames names("/missing/");
  const NewFilesWritten written = WriteNewFilesDurably(fake, "/missing/", FilesOf(contents), names);
  EXPECT_THAT(written.paths, IsEmpty());
  ASSERT_TRUE(written.error.has_value());
  EXPECT_EQ(written.error->kind, FileErrorKind::kNotFound);
}

TEST_P(DurableWriteTest, AReplacedFileHoldsTheNewBytesDurably) {
  fake.AddFile("/d/settings.ini", "old");
  ASSERT_TRUE(ReplaceFileDurably(fake, "/d/settings.ini", AsBytes("new")));
  EXPECT_EQ(fake.Contents("/d/settings.ini"), "new");
  EXPECT_TRUE(fake.IsDurable("/d/settings.ini"));
  EXPECT_THAT(fake.Names("/d"), ElementsAre("settings.ini"));

  ASSERT_TRUE(ReplaceFileDurably(fake, "/d/new.ini", AsBytes("made")));
  EXPECT_EQ(fake.Contents("/d/new.ini"), "made");
}

// A replacing file takes the permissions of the one it replaces, except that a file made for its
// owner alone is never opened to others: it is made so, not narrowed after its bytes are in.
TEST_P(DurableWriteTest, AReplacementKeepsTheOldPermissionsUnlessMadeForItsOwnerAlone) {
  struct Case {
    const char* name;
    std::optional<NewFileAccess> old;  // nullopt: no file to replace
    NewFileAccess asked;
    NewFileAccess expected;
  };
  const Case cases[] = {
      {"new, usual", std::nullopt, NewFileAccess::kUsual, NewFileAccess::kUsual},
      {"new, owner only", std::nullopt, NewFileAccess::kOwnerOnly, NewFileAccess::kOwnerOnly},
      {"usual over owner only", NewFileAccess::kOwnerOnly, NewFileAccess::kUsual,
       NewFileAccess::kOwnerOnly},
      {"owner only over usual", NewFileAccess::kUsual, NewFileAccess::kOwnerOnly,
       NewFileAccess::kOwnerOnly},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFileSystem disk(GetParam());
    disk.AddDirectory("/d");
    if (c.old) {
      ASSERT_TRUE(ReplaceFileDurably(disk, "/d/code", AsBytes("11111\n"), *c.old));
    }
    ASSERT_TRUE(ReplaceFileDurably(disk, "/d/code", AsBytes("22222\n"), c.asked));
    EXPECT_EQ(disk.Contents("/d/code"), "22222\n");
    EXPECT_EQ(disk.Access("/d/code"), c.expected);
    EXPECT_THAT(disk.Names("/d"), ElementsAre("code"));
  }
}

// Whatever step fails, the old file is as it was and no temporary file is left.
TEST_P(DurableWriteTest, AFailedReplaceLeavesTheOldFileAsItWas) {
  struct Case {
    const char* name;
    FileOp op;
    FileErrorKind kind;
  };
  const Case cases[] = {
      {"create", FileOp::kCreateNew, FileErrorKind::kNoSpace},
      {"permissions", FileOp::kMatchPermissions, FileErrorKind::kAccessDenied},
      {"write", FileOp::kWrite, FileErrorKind::kNoSpace},
      {"flush", FileOp::kFlush, FileErrorKind::kIoError},
      {"close", FileOp::kClose, FileErrorKind::kIoError},
      {"rename", FileOp::kRenameReplacing, FileErrorKind::kIoError},
      {"rename refused for good", FileOp::kRenameReplacing, FileErrorKind::kBusy},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFileSystem failing(GetParam());
    failing.AddDirectory("/d");
    failing.AddFile("/d/settings.ini", "old");
    failing.Fail({c.op, c.kind, "", 0});
    const FileResult<void> replaced =
        ReplaceFileDurably(failing, "/d/settings.ini", AsBytes("new"));
    ASSERT_FALSE(replaced);
    EXPECT_EQ(replaced.error().kind, c.kind);
    EXPECT_EQ(failing.Contents("/d/settings.ini"), "old");
    EXPECT_THAT(failing.Names("/d"), ElementsAre("settings.ini"));
    EXPECT_EQ(failing.OpenFiles(), 0u);
  }
}

TEST_P(DurableWriteTest, AReadOnlyFileIsNotReplaced) {
  fake.AddFile("/d/settings.ini", "kept");
  fake.SetReadOnly("/d/settings.ini");
  const FileResult<void> replaced = ReplaceFileDurably(fake, "/d/settings.ini", AsBytes("new"));
  ASSERT_FALSE(replaced);
  EXPECT_EQ(replaced.error().kind, FileErrorKind::kAccessDenied);
  EXPECT_EQ(fake.Contents("/d/settings.ini"), "kept");
  EXPECT_THAT(fake.Names("/d"), ElementsAre("settings.ini"));
}

// A reader holds the file for a moment: the replace waits for it rather than fail.
TEST_P(DurableWriteTest, AReplaceRefusedForAMomentIsTriedAgain) {
  fake.AddFile("/d/settings.ini", "old");
  fake.Fail({FileOp::kRenameReplacing, FileErrorKind::kBusy, "", 1});
  fake.Fail({FileOp::kRenameReplacing, FileErrorKind::kAccessDenied, "", 2});
  ASSERT_TRUE(ReplaceFileDurably(fake, "/d/settings.ini", AsBytes("new")));
  EXPECT_EQ(fake.Contents("/d/settings.ini"), "new");
  EXPECT_THAT(fake.Names("/d"), ElementsAre("settings.ini"));
}

// The same on the machine's own file system.
class DurableWriteOnDiskTest : public ::testing::Test {
 protected:
  std::string Directory() const { return JoinPath(dir.Path().string(), ""); }
  testing::TempDir dir;
};

TEST_F(DurableWriteOnDiskTest, ABatchLandsWholeUnderFreeNamesWithItsTimes) {
  testing::WriteFileBytes(dir.Path() / "f1.txt", "taken");
  const std::vector<std::string> contents = Contents(3);
  TestNames names(Directory());
  const NewFilesWritten written = WriteNewFilesDurably(RealFileSystem(), Directory(),
                                                       FilesOf(contents, 1234567000000000), names);
  EXPECT_FALSE(written.error.has_value());
  EXPECT_THAT(written.paths,
              ElementsAre(names.FinalPathOf(0), names.FinalPathOf(1, 1), names.FinalPathOf(2)));
  EXPECT_EQ(testing::ReadFileBytes(dir.Path() / "f1.txt"), "taken");
  for (std::size_t i = 0; i < written.paths.size(); ++i) {
    EXPECT_EQ(testing::ReadFileBytes(written.paths[i]), contents[i]);
    const auto modified = std::chrono::file_clock::to_sys(fs::last_write_time(written.paths[i]));
    EXPECT_EQ(modified.time_since_epoch(), std::chrono::nanoseconds(1234567000000000));
  }
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir.Path())) {
    found.push_back(entry.path().filename().string());
  }
  EXPECT_THAT(found, ::testing::UnorderedElementsAre("f0.txt", "f1.txt", "f1-1.txt", "f2.txt"));
}

}  // namespace
}  // namespace drv
