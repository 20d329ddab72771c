#include <windows.h>

#include <algorithm>
#include <utility>

#include "base/win_text.h"
#include "delivery/spool_directory.h"

namespace drv {
namespace {

// How many "-N" suffixes are tried before a spool file counts as unwritable.
constexpr unsigned kMaxNameAttempts = 100000;
constexpr unsigned kMaxSetAsideAttempts = 1000;
constexpr int kMaxTempAttempts = 100;
// FILETIME counts 100 ns from 1601; the spool's times count nanoseconds from 1970.
constexpr int64_t kFileTimeAt1970 = 116444736000000000;

class Handle {
 public:
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~Handle() { Close(); }
  Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, INVALID_HANDLE_VALUE);
    }
    return *this;
  }

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  bool Close() { return !valid() || CloseHandle(std::exchange(handle_, INVALID_HANDLE_VALUE)); }

 private:
  HANDLE handle_;
};

enum class MoveResult { kMoved, kTargetExists, kSourceMissing, kFailed };

// Renames without ever replacing an existing file: no MOVEFILE_REPLACE_EXISTING. Write-through
// makes the new name reach the disk before the call returns.
MoveResult MoveWithoutReplacing(const std::wstring& from, const std::wstring& to) {
  if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return MoveResult::kMoved;
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

bool WriteAll(HANDLE file, const std::vector<uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
    if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

struct TempFile {
  std::wstring path;
  Handle file;
};

int64_t UnixNanoseconds(const FILETIME& time) {
  const int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  return (ticks - kFileTimeAt1970) * 100;
}

}  // namespace

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
  Handle file(CreateFileW(widePath.c_str(), GENERIC_READ,
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

  // Read to the end rather than trusting the size: the file may still be changing.
  std::vector<uint8_t> bytes(static_cast<std::size_t>(size.QuadPart) + 1);
  std::size_t total = 0;
  for (;;) {
    if (total == bytes.size()) {
      if (bytes.size() > kMaxSpoolFileSize) {
        result = SpoolReadError::kTooLarge;
        return std::nullopt;
      }
      bytes.resize(std::min(bytes.size() * 2, kMaxSpoolFileSize + 1));
    }
    DWORD count = 0;
    if (!ReadFile(file.get(), bytes.data() + total, static_cast<DWORD>(bytes.size() - total),
                  &count, nullptr)) {
      result = SpoolReadError::kReadFailed;
      return std::nullopt;
    }
    if (count == 0) break;
    total += count;
  }
  std::optional<SpoolFileContent> content = ParseSpoolFileBytes({bytes.data(), total});
  if (!content) result = total == 0 ? SpoolReadError::kEmpty : SpoolReadError::kTooShort;
  return content;
}

SpoolDirectory::SpoolDirectory(std::string spoolPrefix)
    : prefix_(std::move(spoolPrefix)), location_(SplitSpoolPrefix(prefix_)) {}

std::size_t SpoolDirectory::WriteNew(std::span<const NewSpoolFile> files,
                                     std::vector<std::string>* paths) {
  const std::wstring directory = Utf8ToWide(location_.directory);
  // 1. Every file in full under a name the spool search does not match. Shared for deletion, so
  // that it can be renamed while still open and flushed under its new name.
  std::vector<TempFile> temps;
  temps.reserve(files.size());
  for (const NewSpoolFile& file : files) {
    TempFile temp;
    for (int attempt = 0; attempt < kMaxTempAttempts && !temp.file.valid(); ++attempt) {
      temp.path = directory + L".spool-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                  std::to_wstring(tempCounter_++) + L".tmp";
      temp.file =
          Handle(CreateFileW(temp.path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                             nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!temp.file.valid() && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (!temp.file.valid()) break;
    const bool written = WriteAll(temp.file.get(), file.bytes);
    temps.push_back(std::move(temp));
    if (!written) {
      temps.back().file.Close();
      DeleteFileW(temps.back().path.c_str());
      temps.pop_back();
      break;
    }
  }

  // 2. Their spool names, in the order of the batch. A reader sees a whole file under a spool
  // name from the start: its bytes were written before.
  std::size_t named = 0;
  std::vector<std::string> namedPaths;
  for (; named < temps.size(); ++named) {
    const std::string& baseName = files[named].baseName;
    if (baseName != lastBaseName_) {
      lastBaseName_ = baseName;
      nextSuffix_ = 0;
    }
    bool moved = false;
    for (unsigned attempt = 0; attempt < kMaxNameAttempts && !moved; ++attempt, ++nextSuffix_) {
      std::string path = prefix_ + baseName +
                         (nextSuffix_ == 0 ? "" : "-" + std::to_string(nextSuffix_)) +
                         std::string(kSpoolFileExtension);
      const MoveResult result = MoveWithoutReplacing(temps[named].path, Utf8ToWide(path));
      if (result == MoveResult::kMoved) {
        namedPaths.push_back(std::move(path));
        moved = true;
      } else if (result != MoveResult::kTargetExists) {
        break;
      }
    }
    if (!moved) break;
  }
  for (std::size_t i = named; i < temps.size(); ++i) {
    temps[i].file.Close();
    DeleteFileW(temps[i].path.c_str());
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

std::vector<FoundSpoolFile> SpoolDirectory::List() const {
  std::vector<FoundSpoolFile> found;
  const std::wstring pattern = Utf8ToWide(location_.directory + location_.namePrefix) + L"*";
  WIN32_FIND_DATAW entry{};
  const HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry,
                                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) return found;
  do {
    // The search's wildcard also matches short 8.3 names: the long name decides.
    std::string name = WideToUtf8(entry.cFileName);
    if (!IsSpoolFileName(name, location_.namePrefix)) continue;
    found.push_back({std::move(name), UnixNanoseconds(entry.ftLastWriteTime)});
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  return found;
}

bool SpoolDirectory::Remove(const std::string& path) const {
  if (DeleteFileW(Utf8ToWide(path).c_str())) return true;
  const DWORD code = GetLastError();
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

SetAsideResult SpoolDirectory::SetAside(const std::string& path) const {
  const std::wstring from = Utf8ToWide(path);
  for (unsigned attempt = 0; attempt < kMaxSetAsideAttempts; ++attempt) {
    const std::string target = path + (attempt == 0 ? "" : "." + std::to_string(attempt)) +
                               std::string(kSetAsideExtension);
    switch (MoveWithoutReplacing(from, Utf8ToWide(target))) {
      case MoveResult::kMoved:
        return SetAsideResult::kMoved;
      case MoveResult::kSourceMissing:
        return SetAsideResult::kGone;
      case MoveResult::kFailed:
        return SetAsideResult::kFailed;
      case MoveResult::kTargetExists:
        break;
    }
  }
  return SetAsideResult::kFailed;
}

}  // namespace drv
