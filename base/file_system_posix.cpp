#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/file_system.h"

namespace drv {
namespace {

FileError LastError() {
  return FileErrorOfSystemCode(errno);
}

int Fd(const OpenFile& file) {
  return static_cast<int>(file.Handle());
}

// A descriptor held for the length of one call.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

const char* DirectoryPath(const std::string& directory) {
  return directory.empty() ? "." : directory.c_str();
}

ScopedFd OpenDirectory(const std::string& directory) {
  return ScopedFd(::open(DirectoryPath(directory), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

int64_t ModifiedNs(const struct stat& info) {
  return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

FileInfo InfoOf(const struct stat& info) {
  const FileType type = S_ISREG(info.st_mode)   ? FileType::kRegular
                        : S_ISDIR(info.st_mode) ? FileType::kDirectory
                                                : FileType::kOther;
  return {type, static_cast<uint64_t>(info.st_size), ModifiedNs(info)};
}

class PosixFileSystem final : public IFileSystem {
 public:
  FileResult<OpenFile> CreateNew(const std::string& path, NewFileAccess access) override {
    const mode_t mode = access == NewFileAccess::kOwnerOnly ? 0600 : 0666;
    return Opened(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  }

  FileResult<OpenFile> OpenForAppending(const std::string& path, bool alsoRead) override {
    return Opened(::open(path.c_str(),
                         (alsoRead ? O_RDWR : O_WRONLY) | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
  }

  FileResult<void> WriteAll(const OpenFile& file, std::span<const uint8_t> bytes) override {
    while (!bytes.empty()) {
      const ssize_t written = ::write(Fd(file), bytes.data(), bytes.size());
      if (written < 0) {
        if (errno == EINTR) continue;
        return LastError();
      }
      bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return {};
  }

  FileResult<void> SetModifiedTime(const OpenFile& file, int64_t unixNs) override {
    const timespec times[2] = {
        {0, UTIME_OMIT},
        {static_cast<time_t>(unixNs / 1000000000), static_cast<long>(unixNs % 1000000000)}};
    return Checked(::futimens(Fd(file), times));
  }

  FileResult<void> Flush(const OpenFile& file) override { return Checked(::fsync(Fd(file))); }

  bool FlushesBatches() const override { return true; }

  // One flush of the whole file system: far cheaper than one per file for a batch, and the
  // directory flush that follows finds its change committed already.
  FileResult<void> FlushBatch(const std::string& directory) override {
    const ScopedFd fd = OpenDirectory(directory);
    if (!fd.valid()) return LastError();
    return Checked(::syncfs(fd.get()));
  }

  // A file system that cannot flush a directory (EINVAL) keeps its names with the files' own
  // flush.
  FileResult<void> FlushDirectory(const std::string& directory) override {
    const ScopedFd fd = OpenDirectory(directory);
    if (!fd.valid()) return LastError();
    if (::fsync(fd.get()) != 0 && errno != EINVAL) return LastError();
    return {};
  }

  FileResult<void> RenameWithoutReplacing(const std::string& from, const std::string& to) override {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
      return {};
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return LastError();
    // File systems without the no-replace rename: a hard link never replaces either.
    if (::link(from.c_str(), to.c_str()) != 0) return LastError();
    ::unlink(from.c_str());
    return {};
  }

  FileResult<void> RenameReplacing(const std::string& from, const std::string& to) override {
    return Checked(::rename(from.c_str(), to.c_str()));
  }

  FileResult<void> Remove(const std::string& path) override {
    return Checked(::unlink(path.c_str()));
  }

  // Replacing works in a writable directory even when the file itself is read-only; a file its
  // owner made read-only stays as it is. Owner and group are kept when the process may do so.
  FileResult<void> MatchPermissions(const OpenFile& file, const std::string& replaced) override {
    struct stat existing {};
    if (::stat(replaced.c_str(), &existing) != 0) {
      return errno == ENOENT ? FileResult<void>() : LastError();
    }
    if (::access(replaced.c_str(), W_OK) != 0) return LastError();
    // The umask must not narrow the permissions the file had.
    if (::fchmod(Fd(file), existing.st_mode & 07777) != 0) return LastError();
    [[maybe_unused]] const int kept = ::fchown(Fd(file), existing.st_uid, existing.st_gid);
    return {};
  }

  std::string ResolveLink(const std::string& path) override {
    std::error_code ignored;
    if (!std::filesystem::is_symlink(path, ignored)) return path;
    const std::filesystem::path target = std::filesystem::weakly_canonical(path, ignored);
    return ignored ? path : target.string();
  }

  // Non-blocking, so that a pipe under the name cannot hang the caller.
  FileResult<OpenFile> OpenForReading(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return LastError();
    OpenFile file(*this, fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0) return LastError();
    if (!S_ISREG(info.st_mode)) {
      return FileError{FileErrorKind::kNotRegularFile, S_ISDIR(info.st_mode) ? EISDIR : EINVAL};
    }
    return file;
  }

  FileResult<std::size_t> Read(const OpenFile& file, std::span<uint8_t> into) override {
    for (;;) {
      const ssize_t count = ::read(Fd(file), into.data(), into.size());
      if (count >= 0) return static_cast<std::size_t>(count);
      if (errno != EINTR) return LastError();
    }
  }

  FileResult<std::size_t> ReadAt(const OpenFile& file, uint64_t offset,
                                 std::span<uint8_t> into) override {
    for (;;) {
      const ssize_t count = ::pread(Fd(file), into.data(), into.size(), static_cast<off_t>(offset));
      if (count >= 0) return static_cast<std::size_t>(count);
      if (errno != EINTR) return LastError();
    }
  }

  FileResult<uint64_t> Size(const OpenFile& file) override {
    struct stat info {};
    if (::fstat(Fd(file), &info) != 0) return LastError();
    return static_cast<uint64_t>(info.st_size);
  }

  FileResult<FileInfo> Status(const std::string& path) override {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return LastError();
    return InfoOf(info);
  }

  FileResult<void> ListDirectory(const std::string& directory, std::string_view /*nameStart*/,
                                 const NameFilter& wanted, const EntryVisitor& visit) override {
    DIR* dir = ::opendir(DirectoryPath(directory));
    if (dir == nullptr) return LastError();
    FileResult<void> result;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir);
      if (entry == nullptr) {
        if (errno != 0) result = LastError();
        break;
      }
      const std::string_view name = entry->d_name;
      if (name == "." || name == ".." || !wanted(name)) continue;
      struct stat info {};
      DirectoryEntry found{name, {}};
      if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
        found.info = InfoOf(info);
      } else if (errno == ENOENT) {
        continue;  // gone since the directory was read
      }
      if (!visit(found)) break;
    }
    ::closedir(dir);
    return result;
  }

  FileResult<std::string> CurrentDirectory() override {
    std::error_code error;
    std::string directory = std::filesystem::current_path(error).string();
    if (error) return FileErrorOfSystemCode(error.value());
    return directory;
  }

  // flock is per open file: a second open, in this process or another, is refused.
  FileResult<OpenFile> LockExclusively(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) return LastError();
    OpenFile file(*this, fd);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return FileError{FileErrorKind::kBusy, errno};
      return LastError();
    }
    return file;
  }

 protected:
  FileResult<void> Close(std::intptr_t handle) override {
    return Checked(::close(static_cast<int>(handle)));
  }

 private:
  FileResult<OpenFile> Opened(int fd) {
    if (fd < 0) return LastError();
    return OpenFile(*this, fd);
  }

  static FileResult<void> Checked(int result) {
    if (result != 0) return LastError();
    return {};
  }
};

}  // namespace

FileError FileErrorOfSystemCode(int code) {
  switch (code) {
    case ENOENT:
    case ENOTDIR:
      return {FileErrorKind::kNotFound, code};
    case EEXIST:
      return {FileErrorKind::kAlreadyExists, code};
    case ENOSPC:
    case EDQUOT:
      return {FileErrorKind::kNoSpace, code};
    case EACCES:
    case EPERM:
    case EROFS:
      return {FileErrorKind::kAccessDenied, code};
    case EMFILE:
    case ENFILE:
      return {FileErrorKind::kTooManyOpenFiles, code};
    case EBUSY:
    case ETXTBSY:
      return {FileErrorKind::kBusy, code};
    case EIO:
      return {FileErrorKind::kIoError, code};
    case EISDIR:
      return {FileErrorKind::kNotRegularFile, code};
    default:
      return {FileErrorKind::kOther, code};
  }
}

std::string SystemErrorText(int code) {
  return std::generic_category().message(code);
}

std::error_code SystemErrorCode(int code) {
  return {code, std::generic_category()};
}

IFileSystem& RealFileSystem() {
  static PosixFileSystem fileSystem;
  return fileSystem;
}

uint32_t CurrentProcessId() {
  return static_cast<uint32_t>(::getpid());
}

}  // namespace drv
