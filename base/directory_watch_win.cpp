#include "base/directory_watch.h"

#include <windows.h>

#include <array>
#include <cstring>

#include "base/win_text.h"

namespace drv {

namespace {

constexpr DWORD kWatchedChanges = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;

}  // namespace

// One overlapped ReadDirectoryChangesW is outstanding at all times; each call collects what it
// completed with and issues the next one.
struct DirectoryWatch::State {
  HANDLE directory = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
  OVERLAPPED overlapped{};
  bool pending = false;
  alignas(DWORD) std::array<char, 64 * 1024> buffer{};

  bool Issue() {
    overlapped = {};
    overlapped.hEvent = event;
    pending = ReadDirectoryChangesW(directory, buffer.data(), static_cast<DWORD>(buffer.size()),
                                    FALSE, kWatchedChanges, nullptr, &overlapped, nullptr) != 0;
    return pending;
  }

  void Stop() {
    if (pending) {
      CancelIoEx(directory, &overlapped);
      DWORD ignored = 0;
      GetOverlappedResult(directory, &overlapped, &ignored, TRUE);
      pending = false;
    }
    if (directory != INVALID_HANDLE_VALUE) CloseHandle(directory);
    directory = INVALID_HANDLE_VALUE;
  }
};

DirectoryWatch::DirectoryWatch(const std::string& directory) : state_(std::make_unique<State>()) {
  state_->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (state_->event == nullptr) return;
  state_->directory =
      CreateFileW(Utf8ToWide(directory.empty() ? "." : directory).c_str(), FILE_LIST_DIRECTORY,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  if (state_->directory == INVALID_HANDLE_VALUE) return;
  if (!state_->Issue()) state_->Stop();
}

DirectoryWatch::~DirectoryWatch() {
  state_->Stop();
  if (state_->event != nullptr) CloseHandle(state_->event);
}

bool DirectoryWatch::Active() const {
  return state_->directory != INVALID_HANDLE_VALUE && state_->pending;
}

std::optional<std::vector<std::string>> DirectoryWatch::TakeArrivals() {
  std::vector<std::string> names;
  while (Active()) {
    DWORD bytes = 0;
    if (!GetOverlappedResult(state_->directory, &state_->overlapped, &bytes, FALSE)) {
      if (GetLastError() == ERROR_IO_INCOMPLETE) return names;
      // ERROR_NOTIFY_ENUM_DIR: more changed than the buffer could hold. Anything else: the
      // watch has failed, or the directory has gone.
      const bool overflow = GetLastError() == ERROR_NOTIFY_ENUM_DIR;
      state_->pending = false;
      if (!overflow || !state_->Issue()) state_->Stop();
      return std::nullopt;
    }
    state_->pending = false;
    if (bytes == 0) {
      // The system kept no details: as good as an overflow.
      if (!state_->Issue()) state_->Stop();
      return std::nullopt;
    }
    for (DWORD at = 0;;) {
      FILE_NOTIFY_INFORMATION info;
      std::memcpy(&info, state_->buffer.data() + at, offsetof(FILE_NOTIFY_INFORMATION, FileName));
      if (info.Action == FILE_ACTION_ADDED || info.Action == FILE_ACTION_RENAMED_NEW_NAME ||
          info.Action == FILE_ACTION_MODIFIED) {
        std::wstring name(info.FileNameLength / sizeof(wchar_t), L'\0');
        std::memcpy(name.data(),
                    state_->buffer.data() + at + offsetof(FILE_NOTIFY_INFORMATION, FileName),
                    info.FileNameLength);
        names.push_back(WideToUtf8(name));
      }
      if (info.NextEntryOffset == 0) break;
      at += info.NextEntryOffset;
    }
    if (!state_->Issue()) {
      state_->Stop();
      return std::nullopt;
    }
  }
  return names;
}

}  // namespace drv
