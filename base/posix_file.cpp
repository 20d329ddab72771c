#include "base/posix_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace drv {

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

bool UniqueFd::Close() {
  const int fd = release();
  return fd < 0 || ::close(fd) == 0;
}

DirectoryReader::DirectoryReader(const std::string& path)
    : fd_(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

std::optional<std::string_view> DirectoryReader::Next() {
  if (!fd_.valid()) return std::nullopt;
  if (offset_ >= size_) {
    const ssize_t read = ::getdents64(fd_.get(), buffer_.data(), buffer_.size());
    if (read <= 0) return std::nullopt;
    size_ = static_cast<std::size_t>(read);
    offset_ = 0;
  }
  const auto* entry = reinterpret_cast<const dirent64*>(buffer_.data() + offset_);
  offset_ += entry->d_reclen;
  return std::string_view(entry->d_name);
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace drv
