#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>

namespace drv {

// The file system as the driver uses it: every call it makes on files and directories, behind
// one interface, so that the rules built on top (durable writes, the spool, the settings file)
// are written once and can be driven in tests by a file system that fails where told.
// file_system_posix.cpp and file_system_win.cpp hold the system calls.
//
// Paths are UTF-8 text (Windows takes them as UTF-16 at the system call). A directory is named
// with or without a separator at its end, "" being the working directory.

// What went wrong, in the kinds that decide what a caller does next: try again later, give up
// on one file, or report a full disk.
enum class FileErrorKind {
  kNotFound,          // no such file, or a directory on the way is missing
  kAlreadyExists,     // something already has the name
  kNoSpace,           // the disk, or the user's quota, is full
  kAccessDenied,      // not permitted, or a read-only file system
  kTooManyOpenFiles,  // the process's or the system's limit
  kBusy,              // held by another: a sharing or lock violation, a busy file
  kIoError,           // the device failed
  kNotRegularFile,    // a directory, pipe or device where a file was expected
  kOther,
};

struct FileError {
  FileErrorKind kind = FileErrorKind::kOther;
  // errno on POSIX systems, GetLastError() on Windows; 0 when the system gave none.
  int systemCode = 0;

  // The system's text for the code, in English or the system's language.
  std::string Message() const;
  // A missing file is std::errc::no_such_file_or_directory on every platform; other errors
  // carry the system's own code.
  std::error_code ToErrorCode() const;
};

// The error a system's code (errno, GetLastError()) stands for. One definition per platform.
FileError FileErrorOfSystemCode(int code);
// The system's text and std::error_code for its code. One definition per platform.
std::string SystemErrorText(int code);
std::error_code SystemErrorCode(int code);

// A value, or the error that kept it from being made; std::expected's shape.
template <typename T>
class [[nodiscard]] FileResult {
 public:
  FileResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  FileResult(FileError error) : state_(std::in_place_index<1>, error) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  T& operator*() { return std::get<0>(state_); }
  const T& operator*() const { return std::get<0>(state_); }
  T* operator->() { return &std::get<0>(state_); }
  const T* operator->() const { return &std::get<0>(state_); }
  const FileError& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, FileError> state_;
};

// Done, or the error that kept it from being done.
template <>
class [[nodiscard]] FileResult<void> {
 public:
  FileResult() = default;
  FileResult(FileError error) : error_(error) {}

  bool has_value() const { return !error_.has_value(); }
  explicit operator bool() const { return has_value(); }
  const FileError& error() const { return *error_; }

 private:
  std::optional<FileError> error_;
};

class IFileSystem;

// An open file of a file system, closed when the object goes; Close closes it sooner and tells
// whether the close succeeded, which can report a delayed write error.
class OpenFile {
 public:
  OpenFile() = default;
  OpenFile(IFileSystem& fileSystem, std::intptr_t handle)
      : fileSystem_(&fileSystem), handle_(handle) {}
  ~OpenFile();
  OpenFile(OpenFile&& other) noexcept
      : fileSystem_(std::exchange(other.fileSystem_, nullptr)), handle_(other.handle_) {}
  OpenFile& operator=(OpenFile&& other) noexcept;
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  bool IsOpen() const { return fileSystem_ != nullptr; }
  // The file system's own number for the file (a descriptor, a handle).
  std::intptr_t Handle() const { return handle_; }
  FileResult<void> Close();

 private:
  IFileSystem* fileSystem_ = nullptr;
  std::intptr_t handle_ = 0;
};

enum class FileType { kRegular, kDirectory, kOther };

// Who may use a new file.
enum class NewFileAccess {
  // As the system gives new files: the umask on POSIX systems, the permissions the folder
  // passes on under Windows.
  kUsual,
  // Its owner alone (0600) on POSIX systems, from the moment it exists. Windows gives a new
  // file the permissions of its folder; the program's working folder is its users' own.
  kOwnerOnly,
};

struct FileInfo {
  FileType type = FileType::kOther;
  uint64_t size = 0;
  int64_t modifiedNs = 0;  // the time of the last write, nanoseconds since 1970
};

struct DirectoryEntry {
  std::string_view name;  // valid during the visit only
  FileInfo info;
};

class IFileSystem {
 public:
  virtual ~IFileSystem() = default;

  // --- Writing

  // Makes `path` a new, empty file open for writing; kAlreadyExists when the name is taken.
  // It may be renamed, and removed, while open.
  virtual FileResult<OpenFile> CreateNew(const std::string& path, NewFileAccess access) = 0;
  // Opens `path` for appending, every write going to its end also beside other writers; the
  // file is made when missing, its directory never. With `alsoRead` it can be read too
  // (kAccessDenied when reading is not permitted).
  virtual FileResult<OpenFile> OpenForAppending(const std::string& path, bool alsoRead) = 0;
  virtual FileResult<void> WriteAll(const OpenFile& file, std::span<const uint8_t> bytes) = 0;
  // The time of the file's last write, in nanoseconds since 1970; the system may keep less.
  virtual FileResult<void> SetModifiedTime(const OpenFile& file, int64_t unixNs) = 0;
  // The file's bytes on the disk.
  virtual FileResult<void> Flush(const OpenFile& file) = 0;
  // Whether FlushBatch can put on the disk, with one call, every file written in a directory,
  // closed ones included. Where it cannot, each file is flushed before it is closed.
  virtual bool FlushesBatches() const = 0;
  virtual FileResult<void> FlushBatch(const std::string& directory) = 0;
  // The directory's names on the disk, so that files created or renamed there stay after a
  // crash. Nothing to do where renames are written through.
  virtual FileResult<void> FlushDirectory(const std::string& directory) = 0;
  // kAlreadyExists when `to` is taken: nothing is ever replaced. kNotFound when `from` is gone.
  virtual FileResult<void> RenameWithoutReplacing(const std::string& from,
                                                  const std::string& to) = 0;
  virtual FileResult<void> RenameReplacing(const std::string& from, const std::string& to) = 0;
  virtual FileResult<void> Remove(const std::string& path) = 0;
  // Gives `file`, which is to replace `replaced`, the permissions that one has; kAccessDenied
  // when `replaced` may not be written. Nothing when `replaced` is missing.
  virtual FileResult<void> MatchPermissions(const OpenFile& file, const std::string& replaced) = 0;
  // The file a symbolic link at `path` points to, so that replacing it keeps the link; `path`
  // itself when it is no link.
  virtual std::string ResolveLink(const std::string& path) = 0;

  // --- Reading

  // Opens a regular file for reading without ever waiting: a pipe, device or directory under
  // the name is kNotRegularFile. Shared for deletion where the system asks.
  virtual FileResult<OpenFile> OpenForReading(const std::string& path) = 0;
  // Reads from where the last read ended; 0 at the end of the file.
  virtual FileResult<std::size_t> Read(const OpenFile& file, std::span<uint8_t> into) = 0;
  virtual FileResult<std::size_t> ReadAt(const OpenFile& file, uint64_t offset,
                                         std::span<uint8_t> into) = 0;
  virtual FileResult<uint64_t> Size(const OpenFile& file) = 0;
  // What is at `path`, through a symbolic link.
  virtual FileResult<FileInfo> Status(const std::string& path) = 0;

  using NameFilter = std::function<bool(std::string_view name)>;
  // Returns false to end the listing.
  using EntryVisitor = std::function<bool(const DirectoryEntry& entry)>;
  // Visits the entries of a directory ("." and ".." left out) that `wanted` accepts, in no
  // particular order, without opening them: sizes and times come with the listing or one status
  // call each, so that a directory of a million files is listed cheaply. `nameStart` is a start
  // every wanted name has, so that the system can narrow the search; `wanted` decides.
  virtual FileResult<void> ListDirectory(const std::string& directory, std::string_view nameStart,
                                         const NameFilter& wanted, const EntryVisitor& visit) = 0;
  virtual FileResult<std::string> CurrentDirectory() = 0;

  // --- Locks

  // Opens, making it when missing, a lock file that no second holder can take while the
  // returned file is open, in this process or another: kBusy for the second.
  virtual FileResult<OpenFile> LockExclusively(const std::string& path) = 0;

 protected:
  friend class OpenFile;
  virtual FileResult<void> Close(std::intptr_t handle) = 0;
};

// The machine's own file system.
IFileSystem& RealFileSystem();

// The process's number, which makes temporary names of different processes differ.
uint32_t CurrentProcessId();

}  // namespace drv
