#include "base/error_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

#include "base/cp1251.h"
#include "base/posix_file.h"

namespace drv {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// True when the file is not empty and its last byte is no line end.
bool LastLineIsOpen(int fd) {
  const off_t size = ::lseek(fd, 0, SEEK_END);
  if (size <= 0) return false;
  char last = 0;
  if (::pread(fd, &last, 1, size - 1) != 1) return false;
  return last != '\n' && last != '\r';
}

}  // namespace

std::string ErrorLogPath(const std::string& directory) {
  if (directory.empty()) return kErrorLogFileName;
  if (directory.back() == '/') return directory + kErrorLogFileName;
  return directory + "/" + kErrorLogFileName;
}

void WriteErrorCode(const std::string& errorLogPath, int code) {
  static const std::string kPrefix = Utf8ToCp1251("ошибка №");
  // Reading is only needed to see whether the last line is complete; a log that may only be
  // written to is appended to all the same.
  int raw = ::open(errorLogPath.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  bool readable = true;
  if (raw < 0 && errno == EACCES) {
    raw = ::open(errorLogPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    readable = false;
  }
  if (raw < 0) ThrowErrno("open " + errorLogPath);
  UniqueFd fd(raw);

  std::string line;
  if (readable && LastLineIsOpen(fd.get())) line = "\r\n";
  line += kPrefix + std::to_string(code) + "\r\n";
  // One write per line keeps a line whole even if someone else appends at the same time.
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t wrote = ::write(fd.get(), line.data() + done, line.size() - done);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      ThrowErrno("write " + errorLogPath);
    }
    done += static_cast<std::size_t>(wrote);
  }
  if (::close(fd.release()) != 0) ThrowErrno("close " + errorLogPath);
}

}  // namespace drv
