#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

namespace drv {

// Owns a file descriptor and closes it once.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  // Closes now and tells whether the close succeeded: it can report a delayed write error.
  bool Close();

 private:
  int fd_;
};

// Writes every byte, going on after partial writes and interruptions; false on an error (errno
// tells which).
bool WriteAll(int fd, const void* data, std::size_t size);
inline bool WriteAll(int fd, std::string_view bytes) {
  return WriteAll(fd, bytes.data(), bytes.size());
}

}  // namespace drv
