#include "base/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>

#include "base/posix_file.h"

namespace drv {
namespace {

std::error_code LastError() {
  return {errno, std::generic_category()};
}

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(LastError(), what);
}

// True when the file is not empty and its last byte is no line end.
bool LastLineIsOpen(int fd) {
  const off_t size = ::lseek(fd, 0, SEEK_END);
  if (size <= 0) return false;
  char last = 0;
  if (::pread(fd, &last, 1, size - 1) != 1) return false;
  return last != '\n' && last != '\r';
}

}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& path, std::error_code& error) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    error = LastError();
    return std::nullopt;
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      error = LastError();
      return std::nullopt;
    }
    if (got == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  error.clear();
  return bytes;
}

bool AppendToFile(const std::string& path, std::string_view bytes, AppendMode mode,
                  std::error_code& error) {
  // Reading is only needed to see whether the last line is complete.
  const bool wantRead = mode == AppendMode::kOnOwnLine;
  int raw =
      ::open(path.c_str(), (wantRead ? O_RDWR : O_WRONLY) | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  bool readable = wantRead;
  if (raw < 0 && wantRead && errno == EACCES) {
    raw = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    readable = false;
  }
  if (raw < 0) {
    error = LastError();
    return false;
  }
  UniqueFd fd(raw);
  std::string line;
  if (readable && LastLineIsOpen(fd.get())) line = "\r\n";
  line += bytes;
  if (!WriteAll(fd.get(), line)) {
    error = LastError();
    return false;
  }
  if (!fd.Close()) {
    error = LastError();
    return false;
  }
  error.clear();
  return true;
}

void ReplaceFileAtomically(const std::string& path, const std::string& bytes) {
  namespace fs = std::filesystem;
  // A symbolic link stays a link; the file it points to is the one replaced.
  fs::path target = path;
  std::error_code ignored;
  if (fs::is_symlink(target, ignored)) target = fs::weakly_canonical(target);

  struct stat existing {};
  bool exists = false;
  if (::stat(target.c_str(), &existing) == 0) {
    exists = true;
  } else if (errno != ENOENT) {
    ThrowErrno("stat " + target.string());
  }
  // Replacing works in a writable directory even when the file itself is read-only; a file
  // its owner made read-only stays as it is.
  if (exists && ::access(target.c_str(), W_OK) != 0) ThrowErrno("access " + target.string());
  const mode_t mode = exists ? (existing.st_mode & 07777) : 0666;

  static std::atomic<unsigned> counter{0};
  std::string temporary;
  UniqueFd fd;
  for (int attempt = 0; !fd.valid(); ++attempt) {
    temporary = target.string() + ".tmp-" + std::to_string(::getpid()) + "-" +
                std::to_string(counter.fetch_add(1));
    fd = UniqueFd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!fd.valid() && (errno != EEXIST || attempt > 100)) ThrowErrno("create " + temporary);
  }
  try {
    if (exists) {
      // The umask must not narrow the permissions the file had; owner and group are kept when
      // the process may do so.
      if (::fchmod(fd.get(), mode) != 0) ThrowErrno("fchmod " + temporary);
      [[maybe_unused]] const int kept = ::fchown(fd.get(), existing.st_uid, existing.st_gid);
    }
    if (!WriteAll(fd.get(), bytes)) ThrowErrno("write " + temporary);
    if (::fsync(fd.get()) != 0) ThrowErrno("fsync " + temporary);
    if (!fd.Close()) ThrowErrno("close " + temporary);
    if (::rename(temporary.c_str(), target.c_str()) != 0) ThrowErrno("rename " + temporary);
  } catch (...) {
    fd.Close();
    ::unlink(temporary.c_str());
    throw;
  }
  // The rename itself becomes durable with the directory.
  const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");
  UniqueFd dirFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd.valid()) ::fsync(dirFd.get());
}

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::optional<std::vector<std::string>> ListDirectory(const std::string& path,
                                                      std::error_code& error) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) {
    error = LastError();
    return std::nullopt;
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(dir);
  error.clear();
  return names;
}

std::optional<uint64_t> RegularFileSize(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<uint64_t>(info.st_size);
}

std::string CurrentDirectory(std::error_code& error) {
  std::string directory = std::filesystem::current_path(error).string();
  if (error) directory.clear();
  return directory;
}

}  // namespace drv
