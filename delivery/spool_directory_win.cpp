#include <windows.h>

#include <algorithm>
#include <utility>

#include "base/win_file.h"
#include "base/win_text.h"
#include "delivery/spool_directory.h"
#include "delivery/spool_file_system.h"

namespace drv {

using spool_file_system::MoveResult;

namespace {

constexpr int kMaxTempAttempts = 100;
// FILETIME counts 100 ns from 1601; the spool's times count nanoseconds from 1970.
constexpr int64_t kFileTimeAt1970 = 116444736000000000;

struct TempFile {
  std::string path;
  UniqueHandle file;
};

FILETIME FileTimeOfUnixMs(int64_t ms) {
  const uint64_t ticks = static_cast<uint64_t>(ms * 10000 + kFileTimeAt1970);
  return {static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(ticks >> 32)};
}

int64_t UnixNanoseconds(const FILETIME& time) {
  const int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  return (ticks - kFileTimeAt1970) * 100;
}

}  // namespace

// Renames without ever replacing an existing file: no MOVEFILE_REPLACE_EXISTING. Write-through
// makes the new name reach the disk before the call returns.
MoveResult spool_file_system::MoveWithoutReplacing(const std::string& from, const std::string& to) {
  if (MoveFileExW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(), MOVEFILE_WRITE_THROUGH)) {
    return MoveResult::kMoved;
  }
  switch (GetLastError()) {
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return MoveResult::kTargetExists;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return MoveResult::kSourceMissing;
    default:
      return MoveResult::kFailed;
  }
}

std::optional<SpoolFileContent> ReadSpoolFile(const std::string& path, SpoolReadError* error) {
  SpoolReadError ignored;
  SpoolReadError& result = error != nullptr ? *error : ignored;
  result = SpoolReadError::kNone;

  const std::wstring widePath = Utf8ToWide(path);
  const DWORD attributes = GetFileAttributesW(widePath.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    result = (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
                 ? SpoolReadError::kNotFound
                 : SpoolReadError::kCannotOpen;
    return std::nullopt;
  }
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    result = SpoolReadError::kNotRegularFile;
    return std::nullopt;
  }
  // Shared for deletion: the session may delete an acknowledged file while it is being read.
  UniqueHandle file(CreateFileW(widePath.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    const DWORD code = GetLastError();
    result = (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
                 ? SpoolReadError::kNotFound
                 : SpoolReadError::kCannotOpen;
    return std::nullopt;
  }
  // A named pipe or a device under a spool file's name would block a read.
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    result = SpoolReadError::kNotRegularFile;
    return std::nullopt;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) {
    result = SpoolReadError::kReadFailed;
    return std::nullopt;
  }
  if (static_cast<uint64_t>(size.QuadPart) > kMaxSpoolFileSize) {
    result = SpoolReadError::kTooLarge;
    return std::nullopt;
  }
  return spool_file_system::ReadToEndAndParse(
      static_cast<std::size_t>(size.QuadPart),
      [&file](uint8_t* into, std::size_t room) -> std::ptrdiff_t {
        DWORD count = 0;
        if (!ReadFile(file.get(), into, static_cast<DWORD>(room), &count, nullptr)) return -1;
        return count;
      },
      result);
}

std::size_t SpoolDirectory::WriteNew(std::span<const NewSpoolFile> files,
                                     std::vector<std::string>* paths) {
  // 1. Every file in full under a name the spool search does not match. Shared for deletion, so
  // that it can be renamed while still open and flushed under its new name.
  std::vector<TempFile> temps;
  temps.reserve(files.size());
  for (const NewSpoolFile& file : files) {
    TempFile temp;
    for (int attempt = 0; attempt < kMaxTempAttempts && !temp.file.valid(); ++attempt) {
      temp.path = location_.directory + ".spool-" + std::to_string(GetCurrentProcessId()) + "-" +
                  std::to_string(tempCounter_++) + ".tmp";
      temp.file = UniqueHandle(CreateFileW(Utf8ToWide(temp.path).c_str(),
                                           GENERIC_WRITE | FILE_WRITE_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!temp.file.valid() && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (!temp.file.valid()) break;
    bool written = WriteAll(temp.file.get(), std::span<const uint8_t>(file.bytes));
    if (written && file.modifiedMs) {
      const FILETIME modified = FileTimeOfUnixMs(*file.modifiedMs);
      written = SetFileTime(temp.file.get(), nullptr, nullptr, &modified) != 0;
    }
    temps.push_back(std::move(temp));
    if (!written) {
      temps.back().file.Close();
      DeleteFileW(Utf8ToWide(temps.back().path).c_str());
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
  for (std::size_t i = named; i < temps.size(); ++i) {
    temps[i].file.Close();
    DeleteFileW(Utf8ToWide(temps[i].path).c_str());
  }
  temps.resize(named);
  if (named == 0) return 0;

  // 3. Bytes and names on the disk: the flush of each file after its rename commits both. There
  // is no flush of a whole volume without administrator rights, so a batch costs one flush per
  // file.
  bool flushed = true;
  for (TempFile& temp : temps) {
    flushed = FlushFileBuffers(temp.file.get()) && flushed;
    flushed = temp.file.Close() && flushed;
  }
  if (!flushed) {
    // Not known to be on the disk: the records are better kept in memory and written again.
    for (const std::string& path : namedPaths) DeleteFileW(Utf8ToWide(path).c_str());
    return 0;
  }
  for (std::string& path : namedPaths) paths->push_back(std::move(path));
  return named;
}

bool SpoolDirectory::ForEachFile(const std::function<bool(const FoundSpoolFile&)>& visit) const {
  const std::wstring pattern = Utf8ToWide(location_.directory + location_.namePrefix) + L"*";
  WIN32_FIND_DATAW entry{};
  const HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry,
                                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    // The search's wildcard also matches short 8.3 names: the long name decides.
    const std::string name = WideToUtf8(entry.cFileName);
    if (!IsSpoolFileName(name, location_.namePrefix)) continue;
    if (!visit({name, UnixNanoseconds(entry.ftLastWriteTime)})) break;
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  return true;
}

std::optional<int64_t> SpoolDirectory::ModifiedNs(const std::string& name) const {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(Utf8ToWide(location_.directory + name).c_str(), GetFileExInfoStandard,
                            &data) ||
      (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return std::nullopt;
  }
  return UnixNanoseconds(data.ftLastWriteTime);
}

void SpoolDirectory::RemoveTemporaries() const {
  const std::wstring pattern = Utf8ToWide(location_.directory) + L".spool-*.tmp";
  WIN32_FIND_DATAW entry{};
  const HANDLE search =
      FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (IsSpoolTemporaryName(WideToUtf8(entry.cFileName))) {
      DeleteFileW((Utf8ToWide(location_.directory) + entry.cFileName).c_str());
    }
  } while (FindNextFileW(search, &entry));
  FindClose(search);
}

struct SpoolDirectory::Lock {
  UniqueHandle file;
};

void SpoolDirectory::LockDeleter::operator()(Lock* lock) const {
  delete lock;
}

SpoolDirectory::LockResult SpoolDirectory::TryLock() {
  if (lock_) return LockResult::kLocked;
  // No sharing at all: a second open, in this process or another, fails while this one lasts.
  UniqueHandle file(CreateFileW(Utf8ToWide(location_.directory + kSpoolLockFileName).c_str(),
                                GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_HIDDEN, nullptr));
  if (!file.valid()) {
    const DWORD code = GetLastError();
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION
               ? LockResult::kHeldByAnother
               : LockResult::kUnavailable;
  }
  lock_.reset(new Lock{std::move(file)});
  return LockResult::kLocked;
}

bool SpoolDirectory::Remove(const std::string& path) const {
  if (DeleteFileW(Utf8ToWide(path).c_str())) return true;
  const DWORD code = GetLastError();
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

}  // namespace drv
