#include "base/file_io.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <utility>

#include "base/paths.h"
#include "base/win_file.h"
#include "base/win_text.h"

namespace drv {
namespace {

// True when the file is not empty and its last byte is no line end.
bool LastLineIsOpen(HANDLE file) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size) || size.QuadPart <= 0) return false;
  OVERLAPPED at{};
  const uint64_t last = static_cast<uint64_t>(size.QuadPart) - 1;
  at.Offset = static_cast<DWORD>(last);
  at.OffsetHigh = static_cast<DWORD>(last >> 32);
  char byte = 0;
  DWORD read = 0;
  if (!ReadFile(file, &byte, 1, &read, &at) || read != 1) return false;
  return byte != '\n' && byte != '\r';
}

// Another program that reads the file (the session reading its section, a virus scanner, an
// indexer) holds it open for a moment, and a replace is refused meanwhile; so is an open while
// the file is being replaced. Such refusals are tried again for a short while.
constexpr int kBusyAttempts = 25;
constexpr DWORD kBusyPauseMs = 4;

bool IsBusy(DWORD code) {
  return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION;
}

[[noreturn]] void ThrowLastError(const std::string& what) {
  throw std::system_error(LastWindowsError(), what);
}

}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& path, std::error_code& error) {
  const std::wstring widePath = Utf8ToWide(path);
  UniqueHandle file;
  for (int attempt = 1; !file.valid(); ++attempt) {
    file = UniqueHandle(CreateFileW(widePath.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    // A directory is refused as well, and for good.
    if (file.valid() || !IsBusy(GetLastError()) || attempt == kBusyAttempts ||
        (GetFileAttributesW(widePath.c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      break;
    }
    Sleep(kBusyPauseMs);
  }
  if (!file.valid()) {
    error = LastWindowsError();
    return std::nullopt;
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) {
      error = LastWindowsError();
      return std::nullopt;
    }
    if (got == 0) break;
    bytes.append(buffer, got);
  }
  error.clear();
  return bytes;
}

bool AppendToFile(const std::string& path, std::string_view bytes, AppendMode mode,
                  std::error_code& error) {
  const std::wstring widePath = Utf8ToWide(path);
  // Only FILE_APPEND_DATA, not FILE_WRITE_DATA: every write goes to the end of the file, also
  // beside another writer.
  const auto open = [&](DWORD access) {
    return CreateFileW(widePath.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  // Reading is only needed to see whether the last line is complete.
  bool readable = mode == AppendMode::kOnOwnLine;
  UniqueHandle file(open(FILE_APPEND_DATA | SYNCHRONIZE | (readable ? FILE_READ_DATA : 0)));
  if (!file.valid() && readable && GetLastError() == ERROR_ACCESS_DENIED) {
    readable = false;
    file = UniqueHandle(open(FILE_APPEND_DATA | SYNCHRONIZE));
  }
  if (!file.valid()) {
    error = LastWindowsError();
    return false;
  }
  std::string line;
  if (readable && LastLineIsOpen(file.get())) line = "\r\n";
  line += bytes;
  if (!WriteAll(file.get(), line) || !file.Close()) {
    error = LastWindowsError();
    return false;
  }
  error.clear();
  return true;
}

void ReplaceFileAtomically(const std::string& path, const std::string& bytes) {
  const std::wstring target = Utf8ToWide(path);
  static std::atomic<unsigned> counter{0};
  std::wstring temporary;
  UniqueHandle file;
  for (int attempt = 0; !file.valid(); ++attempt) {
    temporary = target + L".tmp-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(counter.fetch_add(1));
    file = UniqueHandle(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid() && (GetLastError() != ERROR_FILE_EXISTS || attempt > 100)) {
      ThrowLastError("create " + WideToUtf8(temporary));
    }
  }
  const bool written = WriteAll(file.get(), bytes) && FlushFileBuffers(file.get());
  std::error_code error = written ? std::error_code() : LastWindowsError();
  if (!file.Close() && !error) error = LastWindowsError();
  // A read-only file is not replaced: it stays as it is.
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (!error && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    error = WindowsError(ERROR_ACCESS_DENIED);
  }
  for (int attempt = 1; !error; ++attempt) {
    if (MoveFileExW(temporary.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return;
    }
    const DWORD code = GetLastError();
    if (!IsBusy(code) || attempt == kBusyAttempts) {
      error = WindowsError(code);
    } else {
      Sleep(kBusyPauseMs);
    }
  }
  DeleteFileW(temporary.c_str());
  throw std::system_error(error, "replace " + path);
}

bool IsDirectory(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Utf8ToWide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::optional<std::vector<std::string>> ListDirectory(const std::string& path,
                                                      std::error_code& error) {
  WIN32_FIND_DATAW found{};
  const HANDLE search =
      FindFirstFileExW(Utf8ToWide(JoinPath(path, "*")).c_str(), FindExInfoBasic, &found,
                       FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) {
    error = LastWindowsError();
    return std::nullopt;
  }
  std::vector<std::string> names;
  do {
    const std::wstring_view name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(WideToUtf8(name));
  } while (FindNextFileW(search, &found));
  const DWORD end = GetLastError();
  FindClose(search);
  if (end != ERROR_NO_MORE_FILES) {
    error = WindowsError(end);
    return std::nullopt;
  }
  error.clear();
  return names;
}

std::optional<uint64_t> RegularFileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(Utf8ToWide(path).c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return std::nullopt;
  }
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string CurrentDirectory(std::error_code& error) {
  const DWORD length = GetCurrentDirectoryW(0, nullptr);
  std::wstring directory(length, L'\0');
  const DWORD copied = length == 0 ? 0 : GetCurrentDirectoryW(length, directory.data());
  if (copied == 0 || copied >= length) {
    error = LastWindowsError();
    return {};
  }
  directory.resize(copied);
  error.clear();
  return WideToUtf8(directory);
}

}  // namespace drv
