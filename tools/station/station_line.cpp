#include "tools/station/station_line.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "tools/station/station_frames.h"

namespace drv::station {
namespace {

using Clock = std::chrono::steady_clock;

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

bool SetRawLine(int fd, unsigned baudConstant, std::string& error) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) {
    error = SystemError("cannot read the line settings");
    return false;
  }
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
  settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  if (cfsetispeed(&settings, baudConstant) != 0 || cfsetospeed(&settings, baudConstant) != 0 ||
      tcsetattr(fd, TCSANOW, &settings) != 0) {
    error = SystemError("cannot apply the line settings");
    return false;
  }
  return true;
}

int RemainingMs(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

std::optional<unsigned> StandardBaudConstant(long baud) {
  static constexpr std::pair<long, unsigned> kRates[] = {
      {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
      {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
      {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
      {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
  };
  for (const auto& [rate, constant] : kRates) {
    if (rate == baud) return constant;
  }
  return std::nullopt;
}

StationLine::~StationLine() {
  if (fd_ >= 0) close(fd_);
  if (peerFd_ >= 0) close(peerFd_);
}

bool StationLine::OpenDevice(const std::string& path, unsigned baudConstant, std::string& error) {
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    error = SystemError("cannot open " + path);
    return false;
  }
  return SetRawLine(fd_, baudConstant, error);
}

bool StationLine::OpenPty(unsigned baudConstant, std::string& error) {
  fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0) {
    error = SystemError("cannot create a pseudo-terminal");
    return false;
  }
  const int flags = fcntl(fd_, F_GETFL);
  if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) {
    error = SystemError("cannot make the pseudo-terminal non-blocking");
    return false;
  }
  char name[128];
  if (ptsname_r(fd_, name, sizeof name) != 0) {
    error = SystemError("cannot name the pseudo-terminal");
    return false;
  }
  peerPath_ = name;
  peerFd_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (peerFd_ < 0) {
    error = SystemError("cannot open " + peerPath_);
    return false;
  }
  return SetRawLine(peerFd_, baudConstant, error);
}

void StationLine::DiscardInput() {
  uint8_t buffer[256];
  while (read(fd_, buffer, sizeof buffer) > 0) {
  }
}

bool StationLine::WriteAll(std::span<const uint8_t> bytes, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = write(fd_, bytes.data() + done, bytes.size() - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EINTR) return false;
    const int left = RemainingMs(deadline);
    if (left == 0) return false;
    pollfd wait{fd_, POLLOUT, 0};
    poll(&wait, 1, left);
  }
  return true;
}

ReplyOutcome StationLine::WaitForReply(int timeoutMs, int stopFd) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    uint8_t buffer[64];
    const ssize_t count = read(fd_, buffer, sizeof buffer);
    for (ssize_t i = 0; i < count; ++i) {
      if (buffer[i] == kReplyAcknowledged) return ReplyOutcome::kAcknowledged;
      if (buffer[i] == kReplyRefused) return ReplyOutcome::kRefused;
    }
    if (count > 0) continue;
    const int left = RemainingMs(deadline);
    if (left == 0) return ReplyOutcome::kNone;
    pollfd waits[2] = {{fd_, POLLIN, 0}, {stopFd, POLLIN, 0}};
    const int ready = poll(waits, stopFd >= 0 ? 2 : 1, left);
    if (ready > 0 && (waits[1].revents & POLLIN) != 0) return ReplyOutcome::kStopped;
    // A pty whose other side is not open reports a hang-up; keep waiting out the time-out
    // without spinning.
    if (ready > 0 && (waits[0].revents & (POLLHUP | POLLERR)) != 0 &&
        (waits[0].revents & POLLIN) == 0) {
      poll(&waits[1], stopFd >= 0 ? 1 : 0, RemainingMs(deadline));
    }
  }
}

}  // namespace drv::station
