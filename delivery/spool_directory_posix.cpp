#include "delivery/spool_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "base/posix_file.h"
#include "delivery/spool_file_system.h"

namespace drv {

using spool_file_system::MoveResult;

namespace {

constexpr int kMaxTempAttempts = 100;

MoveResult MoveFailure(int error) {
  if (error == EEXIST) return MoveResult::kTargetExists;
  return error == ENOENT ? MoveResult::kSourceMissing : MoveResult::kFailed;
}

// Makes the names in the directory survive a crash. A file system that cannot flush a directory
// (EINVAL) keeps its names with the files' own flush.
bool SyncDirectory(const std::string& directory) {
  UniqueFd fd(
      ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.valid() && (::fsync(fd.get()) == 0 || errno == EINVAL);
}

struct TempFile {
  std::string path;
  UniqueFd fd;
};

int64_t StatModifiedNs(const struct stat& info) {
  return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

}  // namespace

// renameat2 with RENAME_NOREPLACE, or a hard link where the file system has no such rename.
MoveResult spool_file_system::MoveWithoutReplacing(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return MoveResult::kMoved;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return MoveFailure(errno);
  // File systems without the no-replace rename: a hard link never replaces either.
  if (::link(from.c_str(), to.c_str()) != 0) return MoveFailure(errno);
  ::unlink(from.c_str());
  return MoveResult::kMoved;
}

std::optional<SpoolFileContent> ReadSpoolFile(const std::string& path, SpoolReadError* error) {
  SpoolReadError ignored;
  SpoolReadError& result = error != nullptr ? *error : ignored;
  result = SpoolReadError::kNone;

  // Non-blocking, so that a pipe under a spool file's name cannot hang the caller.
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!file.valid()) {
    result = (errno == ENOENT || errno == ENOTDIR) ? SpoolReadError::kNotFound
                                                   : SpoolReadError::kCannotOpen;
    return std::nullopt;
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) {
    result = SpoolReadError::kReadFailed;
    return std::nullopt;
  }
  if (!S_ISREG(info.st_mode)) {
    result = SpoolReadError::kNotRegularFile;
    return std::nullopt;
  }
  return spool_file_system::ReadToEndAndParse(
      static_cast<std::size_t>(info.st_size),
      [&file](uint8_t* into, std::size_t room) -> std::ptrdiff_t {
        for (;;) {
          const ssize_t count = ::read(file.get(), into, room);
          if (count >= 0 || errno != EINTR) return count;
        }
      },
      result);
}

std::size_t SpoolDirectory::WriteNew(std::span<const NewSpoolFile> files,
                                     std::vector<std::string>* paths) {
  // 1. Every file in full under a name the spool search does not match.
  std::vector<TempFile> temps;
  temps.reserve(files.size());
  for (const NewSpoolFile& file : files) {
    TempFile temp;
    for (int attempt = 0; attempt < kMaxTempAttempts && !temp.fd.valid(); ++attempt) {
      temp.path = location_.directory + ".spool-" + std::to_string(::getpid()) + "-" +
                  std::to_string(tempCounter_++) + ".tmp";
      temp.fd = UniqueFd(::open(temp.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
      if (!temp.fd.valid() && errno != EEXIST) break;
    }
    if (!temp.fd.valid()) break;
    bool written = WriteAll(temp.fd.get(), file.bytes.data(), file.bytes.size());
    if (written && file.modifiedMs) {
      const timespec times[2] = {{0, UTIME_OMIT},
                                 {static_cast<time_t>(*file.modifiedMs / 1000),
                                  static_cast<long>(*file.modifiedMs % 1000 * 1000000)}};
      written = ::futimens(temp.fd.get(), times) == 0;
    }
    temps.push_back(std::move(temp));
    if (!written) {
      ::unlink(temps.back().path.c_str());
      temps.pop_back();
      break;
    }
  }

  // 2. Their spool names, in the order of the batch. A reader sees a whole file under a spool
  // name from the start: its bytes were written before.
  std::size_t named = 0;
  std::vector<std::string> namedPaths;
  for (; named < temps.size(); ++named) {
    std::optional<std::string> path = MoveToSpoolName(temps[named].path, files[named].baseName);
    if (!path) break;
    namedPaths.push_back(std::move(*path));
  }
  for (std::size_t i = named; i < temps.size(); ++i) ::unlink(temps[i].path.c_str());
  temps.resize(named);
  if (named == 0) return 0;

  // 3. Bytes and names on the disk. Flushing after the renames lets one journal commit carry
  // both. One file is flushed on its own, a batch (a block message's records) with one flush of
  // the file system instead of one per file; the directory flush that follows then finds its
  // change committed already.
  bool flushed = named == 1 ? ::fsync(temps[0].fd.get()) == 0 : ::syncfs(temps[0].fd.get()) == 0;
  for (TempFile& temp : temps) flushed = temp.fd.Close() && flushed;
  flushed = flushed && SyncDirectory(location_.directory);
  if (!flushed) {
    // Not known to be on the disk: the records are better kept in memory and written again.
    for (const std::string& path : namedPaths) ::unlink(path.c_str());
    return 0;
  }
  for (std::string& path : namedPaths) paths->push_back(std::move(path));
  return named;
}

bool SpoolDirectory::ForEachFile(const std::function<bool(const FoundSpoolFile&)>& visit) const {
  DIR* dir = ::opendir(location_.directory.empty() ? "." : location_.directory.c_str());
  if (dir == nullptr) return false;
  while (const dirent* entry = ::readdir(dir)) {
    if (!IsSpoolFileName(entry->d_name, location_.namePrefix)) continue;
    struct stat info {};
    FoundSpoolFile file{entry->d_name, 0};
    if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
      file.modifiedNs = StatModifiedNs(info);
    }
    if (!visit(file)) break;
  }
  ::closedir(dir);
  return true;
}

std::optional<int64_t> SpoolDirectory::ModifiedNs(const std::string& name) const {
  struct stat info {};
  if (::lstat((location_.directory + name).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  return StatModifiedNs(info);
}

void SpoolDirectory::RemoveTemporaries() const {
  DIR* dir = ::opendir(location_.directory.empty() ? "." : location_.directory.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    if (IsSpoolTemporaryName(entry->d_name)) ::unlinkat(::dirfd(dir), entry->d_name, 0);
  }
  ::closedir(dir);
}

struct SpoolDirectory::Lock {
  UniqueFd fd;
};

void SpoolDirectory::LockDeleter::operator()(Lock* lock) const {
  delete lock;
}

SpoolDirectory::LockResult SpoolDirectory::TryLock() {
  if (lock_) return LockResult::kLocked;
  const std::string path = location_.directory + kSpoolLockFileName;
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644));
  if (!fd.valid()) return LockResult::kUnavailable;
  // flock is per open file: a second open, in this process or another, is refused.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    return errno == EWOULDBLOCK ? LockResult::kHeldByAnother : LockResult::kUnavailable;
  }
  lock_.reset(new Lock{std::move(fd)});
  return LockResult::kLocked;
}

bool SpoolDirectory::Remove(const std::string& path) const {
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace drv
