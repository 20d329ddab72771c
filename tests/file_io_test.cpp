#include "base/file_io.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;
using testing::TempDir;
using ::testing::UnorderedElementsAre;
using testing::WriteFileBytes;

std::vector<std::string> NamesIn(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Makes a file read-only; false when this user may write it all the same (root on POSIX).
bool MakeReadOnly(const fs::path& path) {
  fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  return !std::ofstream(path, std::ios::app).is_open();
}

class FileIoTest : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(FileIoTest, ReadsEveryByteOrSaysTheFileIsMissing) {
  // Line ends and a NUL stay as they are: nothing is read in text mode.
  const std::string bytes("a\r\nb\nc\r\0\xFF", 9);
  WriteFileBytes(dir.Path() / "f.bin", bytes);
  std::error_code error;
  EXPECT_EQ(ReadWholeFile(dir.File("f.bin"), error), bytes);
  EXPECT_FALSE(error);

  EXPECT_FALSE(ReadWholeFile(dir.File("missing.txt"), error).has_value());
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
  EXPECT_FALSE(ReadWholeFile(dir.File("missing/f.txt"), error).has_value());
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
  // A directory is no file to read, and not a missing one either.
  EXPECT_FALSE(ReadWholeFile(dir.Path().string(), error).has_value());
  EXPECT_TRUE(error);
  EXPECT_NE(error, std::errc::no_such_file_or_directory);
}

TEST_F(FileIoTest, AppendsAfterWhatTheFileHolds) {
  struct Case {
    const char* name;
    bool exists;
    std::string before;
    AppendMode mode;
    std::string after;
  };
  const Case cases[] = {
      {"new file", false, "", AppendMode::kOnOwnLine, "x\r\n"},
      {"empty file", true, "", AppendMode::kOnOwnLine, "x\r\n"},
      {"complete line", true, "old\r\n", AppendMode::kOnOwnLine, "old\r\nx\r\n"},
      {"unix line end", true, "old\n", AppendMode::kOnOwnLine, "old\nx\r\n"},
      {"open last line", true, "old", AppendMode::kOnOwnLine, "old\r\nx\r\n"},
      {"open last line as it is", true, "old", AppendMode::kAsIs, "oldx\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = dir.Path() / "log.txt";
    fs::remove(path);
    if (c.exists) WriteFileBytes(path, c.before);
    std::error_code error;
    EXPECT_TRUE(AppendToFile(path.string(), "x\r\n", c.mode, error));
    EXPECT_FALSE(error);
    EXPECT_EQ(ReadFileBytes(path), c.after);
  }
}

TEST_F(FileIoTest, AnAppendNeverCreatesADirectory) {
  std::error_code error;
  EXPECT_FALSE(AppendToFile(dir.File("log/today.log"), "x", AppendMode::kAsIs, error));
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
  EXPECT_FALSE(fs::exists(dir.Path() / "log"));
  // A directory in place of the file.
  EXPECT_FALSE(AppendToFile(dir.Path().string(), "x", AppendMode::kOnOwnLine, error));
  EXPECT_TRUE(error);
}

TEST_F(FileIoTest, AReplacedFileHoldsTheNewBytesAndNothingIsLeftBeside) {
  const fs::path path = dir.Path() / "settings.ini";
  ReplaceFileAtomically(path.string(), "first");
  EXPECT_EQ(ReadFileBytes(path), "first");
  ReplaceFileAtomically(path.string(), std::string("second\r\n\0", 9));
  EXPECT_EQ(ReadFileBytes(path), std::string("second\r\n\0", 9));
  EXPECT_THAT(NamesIn(dir.Path()), UnorderedElementsAre("settings.ini"));

  EXPECT_THROW(ReplaceFileAtomically(dir.File("missing/settings.ini"), "x"), std::system_error);
  EXPECT_THAT(NamesIn(dir.Path()), UnorderedElementsAre("settings.ini"));
}

TEST_F(FileIoTest, AReadOnlyFileIsNotReplaced) {
  const fs::path path = dir.Path() / "settings.ini";
  WriteFileBytes(path, "kept");
  if (!MakeReadOnly(path)) GTEST_SKIP() << "this user may write a read-only file";
  EXPECT_THROW(ReplaceFileAtomically(path.string(), "new"), std::system_error);
  EXPECT_EQ(ReadFileBytes(path), "kept");
  EXPECT_THAT(NamesIn(dir.Path()), UnorderedElementsAre("settings.ini"));
}

TEST_F(FileIoTest, ListsAndTellsWhatAPathIs) {
  WriteFileBytes(dir.Path() / "a.dd8", "1234");
  WriteFileBytes(dir.Path() / "b.txt", "");
  fs::create_directory(dir.Path() / "sub");

  std::error_code error;
  const auto names = ListDirectory(dir.Path().string(), error);
  ASSERT_TRUE(names.has_value());
  EXPECT_THAT(*names, UnorderedElementsAre("a.dd8", "b.txt", "sub"));
  EXPECT_FALSE(ListDirectory(dir.File("missing"), error).has_value());
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);

  EXPECT_TRUE(IsDirectory(dir.Path().string()));
  EXPECT_TRUE(IsDirectory(dir.File("sub")));
  EXPECT_FALSE(IsDirectory(dir.File("a.dd8")));
  EXPECT_FALSE(IsDirectory(dir.File("missing")));

  EXPECT_EQ(RegularFileSize(dir.File("a.dd8")), 4u);
  EXPECT_EQ(RegularFileSize(dir.File("b.txt")), 0u);
  EXPECT_EQ(RegularFileSize(dir.File("sub")), std::nullopt);
  EXPECT_EQ(RegularFileSize(dir.File("missing")), std::nullopt);
}

TEST_F(FileIoTest, TheWorkingDirectoryIsWhereRelativePathsGo) {
  std::error_code error;
  const std::string before = CurrentDirectory(error);
  ASSERT_FALSE(error);
  fs::current_path(dir.Path());
  const std::string inside = CurrentDirectory(error);
  fs::current_path(before);
  EXPECT_FALSE(error);
  EXPECT_TRUE(fs::equivalent(inside, dir.Path()));
}

}  // namespace
}  // namespace drv
