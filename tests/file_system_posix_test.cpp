// What the POSIX file system gives that the shared cases cannot make: pipes, permissions, other
// processes, a full device, the open-file limit, and the errors' kinds.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <vector>

#include "base/file_system.h"
#include "tests/fakes/temp_dir.h"
#include "tests/support/child_process_posix.h"

namespace drv {
namespace {

namespace fs = std::filesystem;
using testing::ExitCodeInChild;
using testing::TempDir;

IFileSystem& Disk() {
  return RealFileSystem();
}

TEST(FileSystemPosixTest, APipeIsNoFileToReadAndDoesNotBlock) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.File("pipe").c_str(), 0600), 0);
  // Must come back at once rather than wait for a writer.
  const FileResult<OpenFile> file = Disk().OpenForReading(dir.File("pipe"));
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error().kind, FileErrorKind::kNotRegularFile);
}

TEST(FileSystemPosixTest, AReadOnlyDirectoryTakesNoNewFile) {
  TempDir dir;
  fs::permissions(dir.Path(), fs::perms::owner_read | fs::perms::owner_exec);
  if (::access(dir.Path().c_str(), W_OK) == 0) GTEST_SKIP() << "this user may write anywhere";
  const FileResult<OpenFile> file = Disk().CreateNew(dir.File("a"), NewFileAccess::kUsual);
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error().kind, FileErrorKind::kAccessDenied);
  EXPECT_EQ(file.error().systemCode, EACCES);
  EXPECT_FALSE(file.error().Message().empty());
}

TEST(FileSystemPosixTest, ALockIsRefusedToAnotherProcessWhileHeld) {
  TempDir dir;
  const std::string path = dir.File(".lock");
  const auto lockInChild = [&path] {
    const FileResult<OpenFile> lock = Disk().LockExclusively(path);
    if (lock) return 0;
    return lock.error().kind == FileErrorKind::kBusy ? 1 : 2;
  };
  {
    FileResult<OpenFile> held = Disk().LockExclusively(path);
    ASSERT_TRUE(held);
    EXPECT_EQ(ExitCodeInChild(lockInChild), 1);
  }
  EXPECT_EQ(ExitCodeInChild(lockInChild), 0);
}

TEST(FileSystemPosixTest, AFullDeviceSaysNoSpace) {
  FileResult<OpenFile> full = Disk().OpenForAppending("/dev/full", false);
  if (!full) GTEST_SKIP() << "no /dev/full here";
  const uint8_t byte = 'x';
  const FileResult<void> written = Disk().WriteAll(*full, {&byte, 1});
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().kind, FileErrorKind::kNoSpace);
}

TEST(FileSystemPosixTest, TheOpenFileLimitSaysTooManyOpenFiles) {
  TempDir dir;
  const int code = ExitCodeInChild([&dir] {
    rlimit usual{};
    if (::getrlimit(RLIMIT_NOFILE, &usual) != 0) return 3;
    const rlimit limit{16, usual.rlim_max};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 3;
    std::vector<OpenFile> open;
    for (int i = 0; i < 32; ++i) {
      FileResult<OpenFile> file =
          Disk().CreateNew(dir.File("f" + std::to_string(i)), NewFileAccess::kUsual);
      if (!file) {
        const bool tooMany = file.error().kind == FileErrorKind::kTooManyOpenFiles;
        // The files are closed with descriptors to spare: a sanitizer's checks need some too.
        ::setrlimit(RLIMIT_NOFILE, &usual);
        return tooMany ? 0 : 1;
      }
      open.push_back(std::move(*file));
    }
    return 2;
  });
  EXPECT_EQ(code, 0);
}

// The listing keeps the file system's nanoseconds.
TEST(FileSystemPosixTest, ListsWriteTimesToTheNanosecond) {
  TempDir dir;
  testing::WriteFileBytes(dir.Path() / "a", "abcd");
  const timespec times[2] = {{0, UTIME_OMIT}, {1234, 567}};
  ASSERT_EQ(::utimensat(AT_FDCWD, dir.File("a").c_str(), times, 0), 0);
  std::vector<int64_t> found;
  ASSERT_TRUE(Disk().ListDirectory(
      dir.Path().string(), "", [](std::string_view) { return true; },
      [&found](const DirectoryEntry& entry) {
        found.push_back(entry.info.modifiedNs);
        return true;
      }));
  EXPECT_EQ(found, std::vector<int64_t>{1234000000567});
}

TEST(FileSystemPosixTest, ErrnoValuesHaveTheKindsCallersActOn) {
  const struct {
    int code;
    FileErrorKind kind;
  } cases[] = {
      {ENOENT, FileErrorKind::kNotFound},
      {ENOTDIR, FileErrorKind::kNotFound},
      {EEXIST, FileErrorKind::kAlreadyExists},
      {ENOSPC, FileErrorKind::kNoSpace},
      {EDQUOT, FileErrorKind::kNoSpace},
      {EACCES, FileErrorKind::kAccessDenied},
      {EPERM, FileErrorKind::kAccessDenied},
      {EROFS, FileErrorKind::kAccessDenied},
      {EMFILE, FileErrorKind::kTooManyOpenFiles},
      {ENFILE, FileErrorKind::kTooManyOpenFiles},
      {EBUSY, FileErrorKind::kBusy},
      {ETXTBSY, FileErrorKind::kBusy},
      {EIO, FileErrorKind::kIoError},
      {EINVAL, FileErrorKind::kOther},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    const FileError error = FileErrorOfSystemCode(c.code);
    EXPECT_EQ(error.kind, c.kind);
    EXPECT_EQ(error.systemCode, c.code);
    EXPECT_EQ(error.ToErrorCode(), std::error_code(c.code, std::generic_category()));
  }
}

}  // namespace
}  // namespace drv
