// What the Windows file system gives that the shared cases cannot make: sharing, its times'
// steps, and the errors' kinds.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/file_system.h"
#include "base/win_text.h"
#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

// FILETIME counts 100 ns steps from 1601.
constexpr int64_t kFileTimeAt1970 = 116444736000000000;

IFileSystem& Disk() {
  return RealFileSystem();
}

// Another program holds the file open without sharing it, as some scanners and editors do.
TEST(FileSystemWinTest, AFileHeldWithoutSharingIsBusy) {
  testing::TempDir dir;
  testing::WriteFileBytes(dir.Path() / "held.dd8", "abcd");
  testing::WriteFileBytes(dir.Path() / "other.dd8", "efgh");
  const HANDLE holder = CreateFileW(Utf8ToWide(dir.File("held.dd8")).c_str(), GENERIC_READ, 0,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const FileResult<OpenFile> read = Disk().OpenForReading(dir.File("held.dd8"));
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().kind, FileErrorKind::kBusy);
  EXPECT_EQ(read.error().systemCode, ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(read.error().Message().empty());
  const FileResult<void> replaced =
      Disk().RenameReplacing(dir.File("other.dd8"), dir.File("held.dd8"));
  ASSERT_FALSE(replaced);
  EXPECT_TRUE(replaced.error().kind == FileErrorKind::kBusy ||
              replaced.error().kind == FileErrorKind::kAccessDenied)
      << replaced.error().Message();
  CloseHandle(holder);
  EXPECT_TRUE(Disk().OpenForReading(dir.File("held.dd8")));
}

// Write times in the file system's 100 ns steps, as nanoseconds since 1970.
TEST(FileSystemWinTest, ListsWriteTimesToTheHundredNanoseconds) {
  testing::TempDir dir;
  testing::WriteFileBytes(dir.Path() / "5265C00.dd8", "abcd");
  const HANDLE file =
      CreateFileW(Utf8ToWide(dir.File("5265C00.dd8")).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const uint64_t ticks = static_cast<uint64_t>(1234000567800 / 100 + kFileTimeAt1970);
  const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &time));
  CloseHandle(file);

  std::vector<int64_t> found;
  ASSERT_TRUE(Disk().ListDirectory(
      dir.Path().string(), "", [](std::string_view) { return true; },
      [&found](const DirectoryEntry& entry) {
        found.push_back(entry.info.modifiedNs);
        return true;
      }));
  EXPECT_EQ(found, std::vector<int64_t>{1234000567800});
  const FileResult<FileInfo> status = Disk().Status(dir.File("5265C00.dd8"));
  ASSERT_TRUE(status);
  EXPECT_EQ(status->modifiedNs, 1234000567800);
}

// A narrowed search that matches nothing in a directory that is there is an empty listing.
TEST(FileSystemWinTest, ASearchThatMatchesNothingIsEmpty) {
  testing::TempDir dir;
  testing::WriteFileBytes(dir.Path() / "b.dd8", "abcd");
  int visits = 0;
  const auto count = [&visits](const DirectoryEntry&) { return ++visits > 0; };
  EXPECT_TRUE(Disk().ListDirectory(
      dir.Path().string(), "ev", [](std::string_view) { return true; }, count));
  EXPECT_EQ(visits, 0);
  EXPECT_TRUE(Disk().ListDirectory(
      dir.Path().string(), "b", [](std::string_view) { return true; }, count));
  EXPECT_EQ(visits, 1);
}

// The read-only attribute keeps a file from being replaced, whoever runs the program.
TEST(FileSystemWinTest, AReadOnlyFileRefusesItsReplacement) {
  testing::TempDir dir;
  testing::WriteFileBytes(dir.Path() / "settings.ini", "kept");
  ASSERT_TRUE(
      SetFileAttributesW(Utf8ToWide(dir.File("settings.ini")).c_str(), FILE_ATTRIBUTE_READONLY));
  FileResult<OpenFile> replacement =
      Disk().CreateNew(dir.File("settings.ini.new"), NewFileAccess::kUsual);
  ASSERT_TRUE(replacement);
  const FileResult<void> matched = Disk().MatchPermissions(*replacement, dir.File("settings.ini"));
  ASSERT_FALSE(matched);
  EXPECT_EQ(matched.error().kind, FileErrorKind::kAccessDenied);
  EXPECT_TRUE(Disk().MatchPermissions(*replacement, dir.File("missing.ini")));
  SetFileAttributesW(Utf8ToWide(dir.File("settings.ini")).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(FileSystemWinTest, SystemErrorsHaveTheKindsCallersActOn) {
  const struct {
    DWORD code;
    FileErrorKind kind;
  } cases[] = {
      {ERROR_FILE_NOT_FOUND, FileErrorKind::kNotFound},
      {ERROR_PATH_NOT_FOUND, FileErrorKind::kNotFound},
      {ERROR_FILE_EXISTS, FileErrorKind::kAlreadyExists},
      {ERROR_ALREADY_EXISTS, FileErrorKind::kAlreadyExists},
      {ERROR_DISK_FULL, FileErrorKind::kNoSpace},
      {ERROR_HANDLE_DISK_FULL, FileErrorKind::kNoSpace},
      {ERROR_ACCESS_DENIED, FileErrorKind::kAccessDenied},
      {ERROR_TOO_MANY_OPEN_FILES, FileErrorKind::kTooManyOpenFiles},
      {ERROR_SHARING_VIOLATION, FileErrorKind::kBusy},
      {ERROR_LOCK_VIOLATION, FileErrorKind::kBusy},
      {ERROR_IO_DEVICE, FileErrorKind::kIoError},
      {ERROR_INVALID_PARAMETER, FileErrorKind::kOther},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    const FileError error = FileErrorOfSystemCode(static_cast<int>(c.code));
    EXPECT_EQ(error.kind, c.kind);
    EXPECT_EQ(error.systemCode, static_cast<int>(c.code));
  }
  EXPECT_EQ(FileErrorOfSystemCode(ERROR_PATH_NOT_FOUND).ToErrorCode(),
            std::errc::no_such_file_or_directory);
}

}  // namespace
}  // namespace drv
