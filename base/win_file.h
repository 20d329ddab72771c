#pragma once

#include <windows.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

namespace drv {

// Owns a file handle and closes it once.
class UniqueHandle {
 public:
  explicit UniqueHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~UniqueHandle() { Close(); }
  UniqueHandle(UniqueHandle&& other) noexcept
      : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, INVALID_HANDLE_VALUE);
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  // Closes now and tells whether the close succeeded.
  bool Close() { return !valid() || CloseHandle(std::exchange(handle_, INVALID_HANDLE_VALUE)); }

 private:
  HANDLE handle_;
};

// Writes every byte, going on after partial writes; false on an error (GetLastError tells which).
bool WriteAll(HANDLE file, std::string_view bytes);
inline bool WriteAll(HANDLE file, std::span<const uint8_t> bytes) {
  return WriteAll(file, {reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

}  // namespace drv
