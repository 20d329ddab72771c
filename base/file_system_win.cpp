#include <windows.h>

#include <algorithm>

#include "base/file_system.h"
#include "base/paths.h"
#include "base/win_text.h"

namespace drv {
namespace {

// FILETIME counts 100 ns from 1601; the driver's times count nanoseconds from 1970.
constexpr int64_t kFileTimeAt1970 = 116444736000000000;

FileError LastError() {
  return FileErrorOfSystemCode(static_cast<int>(GetLastError()));
}

HANDLE HandleOf(const OpenFile& file) {
  return reinterpret_cast<HANDLE>(file.Handle());
}

FILETIME FileTimeOfUnixNs(int64_t unixNs) {
  const uint64_t ticks = static_cast<uint64_t>(unixNs / 100 + kFileTimeAt1970);
  return {static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(ticks >> 32)};
}

int64_t UnixNanoseconds(const FILETIME& time) {
  const int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  return (ticks - kFileTimeAt1970) * 100;
}

FileType TypeOfAttributes(DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FileType::kDirectory;
  return (attributes & FILE_ATTRIBUTE_DEVICE) != 0 ? FileType::kOther : FileType::kRegular;
}

uint64_t SizeOf(DWORD high, DWORD low) {
  return (static_cast<uint64_t>(high) << 32) | low;
}

bool IsExistingDirectory(const std::string& directory) {
  const DWORD attributes =
      GetFileAttributesW(Utf8ToWide(directory.empty() ? "." : directory).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

class WindowsFileSystem final : public IFileSystem {
 public:
  // Shared for deletion, so that the file can be renamed while still open. The folder's
  // inherited permissions apply whatever the access asked for.
  FileResult<OpenFile> CreateNew(const std::string& path, NewFileAccess /*access*/) override {
    return Opened(CreateFileW(Utf8ToWide(path).c_str(), GENERIC_WRITE | FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  }

  // Only FILE_APPEND_DATA, not FILE_WRITE_DATA: every write goes to the end of the file, also
  // beside another writer.
  FileResult<OpenFile> OpenForAppending(const std::string& path, bool alsoRead) override {
    const DWORD access = FILE_APPEND_DATA | SYNCHRONIZE | (alsoRead ? FILE_READ_DATA : 0);
    return Opened(CreateFileW(Utf8ToWide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  }

  FileResult<void> WriteAll(const OpenFile& file, std::span<const uint8_t> bytes) override {
    while (!bytes.empty()) {
      // WriteFile takes a 32-bit count.
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
      DWORD written = 0;
      if (!WriteFile(HandleOf(file), bytes.data(), chunk, &written, nullptr)) return LastError();
      if (written == 0) return FileError{FileErrorKind::kIoError, ERROR_WRITE_FAULT};
      bytes = bytes.subspan(written);
    }
    return {};
  }

  FileResult<void> SetModifiedTime(const OpenFile& file, int64_t unixNs) override {
    const FILETIME modified = FileTimeOfUnixNs(unixNs);
    return Checked(SetFileTime(HandleOf(file), nullptr, nullptr, &modified));
  }

  FileResult<void> Flush(const OpenFile& file) override {
    return Checked(FlushFileBuffers(HandleOf(file)));
  }

  // A whole volume is flushed only with administrator rights: each file is flushed on its own.
  bool FlushesBatches() const override { return false; }

  FileResult<void> FlushBatch(const std::string& /*directory*/) override {
    return FileError{FileErrorKind::kOther, ERROR_NOT_SUPPORTED};
  }

  // Renames are written through: the names are on the disk when they return.
  FileResult<void> FlushDirectory(const std::string& /*directory*/) override { return {}; }

  // No MOVEFILE_REPLACE_EXISTING: an existing file is never replaced. Write-through makes the
  // new name reach the disk before the call returns.
  FileResult<void> RenameWithoutReplacing(const std::string& from, const std::string& to) override {
    return Checked(
        MoveFileExW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(), MOVEFILE_WRITE_THROUGH));
  }

  FileResult<void> RenameReplacing(const std::string& from, const std::string& to) override {
    return Checked(MoveFileExW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  }

  FileResult<void> Remove(const std::string& path) override {
    return Checked(DeleteFileW(Utf8ToWide(path).c_str()));
  }

  // A new file takes its permissions from its directory; a read-only file is not replaced.
  FileResult<void> MatchPermissions(const OpenFile& /*file*/,
                                    const std::string& replaced) override {
    const DWORD attributes = GetFileAttributesW(Utf8ToWide(replaced).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      return FileErrorOfSystemCode(ERROR_ACCESS_DENIED);
    }
    return {};
  }

  std::string ResolveLink(const std::string& path) override { return path; }

  // Shared for deletion: another thread may delete the file while it is being read.
  FileResult<OpenFile> OpenForReading(const std::string& path) override {
    const std::wstring widePath = Utf8ToWide(path);
    const DWORD attributes = GetFileAttributesW(widePath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
    if (TypeOfAttributes(attributes) != FileType::kRegular) {
      return NotRegular(TypeOfAttributes(attributes));
    }
    FileResult<OpenFile> file = Opened(CreateFileW(
        widePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    // A named pipe or a device under the name would block a read.
    if (file && GetFileType(HandleOf(*file)) != FILE_TYPE_DISK) return NotRegular(FileType::kOther);
    return file;
  }

  FileResult<std::size_t> Read(const OpenFile& file, std::span<uint8_t> into) override {
    DWORD count = 0;
    const DWORD room = static_cast<DWORD>(std::min<std::size_t>(into.size(), 1u << 30));
    if (!ReadFile(HandleOf(file), into.data(), room, &count, nullptr)) return LastError();
    return std::size_t{count};
  }

  FileResult<std::size_t> ReadAt(const OpenFile& file, uint64_t offset,
                                 std::span<uint8_t> into) override {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD count = 0;
    const DWORD room = static_cast<DWORD>(std::min<std::size_t>(into.size(), 1u << 30));
    if (!ReadFile(HandleOf(file), into.data(), room, &count, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) return std::size_t{0};
      return LastError();
    }
    return std::size_t{count};
  }

  FileResult<uint64_t> Size(const OpenFile& file) override {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(HandleOf(file), &size)) return LastError();
    return static_cast<uint64_t>(size.QuadPart);
  }

  FileResult<FileInfo> Status(const std::string& path) override {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(Utf8ToWide(path).c_str(), GetFileExInfoStandard, &data)) {
      return LastError();
    }
    return FileInfo{TypeOfAttributes(data.dwFileAttributes),
                    SizeOf(data.nFileSizeHigh, data.nFileSizeLow),
                    UnixNanoseconds(data.ftLastWriteTime)};
  }

  // The search's wildcard also matches short 8.3 names: the long name, through `wanted`,
  // decides.
  FileResult<void> ListDirectory(const std::string& directory, std::string_view nameStart,
                                 const NameFilter& wanted, const EntryVisitor& visit) override {
    const std::wstring pattern = Utf8ToWide(JoinPath(directory, std::string(nameStart) + "*"));
    WIN32_FIND_DATAW found{};
    const HANDLE search =
        FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                         FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
      // Nothing matched the pattern in a directory that is there.
      if (GetLastError() == ERROR_FILE_NOT_FOUND && IsExistingDirectory(directory)) return {};
      return LastError();
    }
    for (bool more = true; more; more = FindNextFileW(search, &found)) {
      const std::wstring_view wideName = found.cFileName;
      if (wideName == L"." || wideName == L"..") continue;
      const std::string name = WideToUtf8(wideName);
      if (!wanted(name)) continue;
      const DirectoryEntry entry{name,
                                 {TypeOfAttributes(found.dwFileAttributes),
                                  SizeOf(found.nFileSizeHigh, found.nFileSizeLow),
                                  UnixNanoseconds(found.ftLastWriteTime)}};
      if (!visit(entry)) {
        FindClose(search);
        return {};
      }
    }
    const DWORD end = GetLastError();
    FindClose(search);
    if (end != ERROR_NO_MORE_FILES) return FileErrorOfSystemCode(static_cast<int>(end));
    return {};
  }

  FileResult<std::string> CurrentDirectory() override {
    const DWORD length = GetCurrentDirectoryW(0, nullptr);
    std::wstring directory(length, L'\0');
    const DWORD copied = length == 0 ? 0 : GetCurrentDirectoryW(length, directory.data());
    if (copied == 0 || copied >= length) return LastError();
    directory.resize(copied);
    return WideToUtf8(directory);
  }

  // No sharing at all: a second open, in this process or another, fails while this one lasts.
  FileResult<OpenFile> LockExclusively(const std::string& path) override {
    return Opened(CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr));
  }

 protected:
  FileResult<void> Close(std::intptr_t handle) override {
    return Checked(CloseHandle(reinterpret_cast<HANDLE>(handle)));
  }

 private:
  FileResult<OpenFile> Opened(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE) return LastError();
    return OpenFile(*this, reinterpret_cast<std::intptr_t>(handle));
  }

  static FileResult<void> Checked(BOOL succeeded) {
    if (!succeeded) return LastError();
    return {};
  }

  static FileError NotRegular(FileType type) {
    return {FileErrorKind::kNotRegularFile,
            type == FileType::kDirectory ? ERROR_DIRECTORY : ERROR_INVALID_FUNCTION};
  }
};

}  // namespace

FileError FileErrorOfSystemCode(int code) {
  switch (static_cast<DWORD>(code)) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
      return {FileErrorKind::kNotFound, code};
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return {FileErrorKind::kAlreadyExists, code};
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return {FileErrorKind::kNoSpace, code};
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return {FileErrorKind::kAccessDenied, code};
    case ERROR_TOO_MANY_OPEN_FILES:
      return {FileErrorKind::kTooManyOpenFiles, code};
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return {FileErrorKind::kBusy, code};
    case ERROR_CRC:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_IO_DEVICE:
      return {FileErrorKind::kIoError, code};
    default:
      return {FileErrorKind::kOther, code};
  }
}

std::string SystemErrorText(int code) {
  return WindowsErrorText(static_cast<unsigned long>(code));
}

std::error_code SystemErrorCode(int code) {
  return WindowsError(static_cast<unsigned long>(code));
}

IFileSystem& RealFileSystem() {
  static WindowsFileSystem fileSystem;
  return fileSystem;
}

uint32_t CurrentProcessId() {
  return GetCurrentProcessId();
}

}  // namespace drv
