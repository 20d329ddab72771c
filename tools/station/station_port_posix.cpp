#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "tools/station/station_frames.h"
#include "tools/station/station_port.h"

namespace drv::station {
namespace {

using Clock = std::chrono::steady_clock;

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// termios speed constant for a standard rate; nullopt for any other rate.
std::optional<speed_t> BaudConstant(long baud) {
  static constexpr std::pair<long, speed_t> kRates[] = {
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

bool SetRawLine(int fd, long baud, std::string& error) {
  const std::optional<speed_t> speed = BaudConstant(baud);
  if (!speed) {
    error = "no standard rate " + std::to_string(baud);
    return false;
  }
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
  if (cfsetispeed(&settings, *speed) != 0 || cfsetospeed(&settings, *speed) != 0 ||
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

// A signal writes a byte that nobody reads: the pipe stays readable, so every later wait ends at
// once too.
int g_stopPipe[2] = {-1, -1};
volatile sig_atomic_t g_stopRequested = 0;

void OnStopSignal(int) {
  const int saved = errno;
  g_stopRequested = 1;
  const char byte = 's';
  [[maybe_unused]] const ssize_t ignored = write(g_stopPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

bool IsStandardRate(long baud) {
  return BaudConstant(baud).has_value();
}

void LineBufferStandardOutput() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
}

bool StopRequest::Install() {
  if (pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  return true;
}

bool StopRequest::Requested() {
  return g_stopRequested != 0;
}

bool StopRequest::Wait(int milliseconds) {
  const auto until = Clock::now() + std::chrono::milliseconds(milliseconds);
  while (!Requested()) {
    const int left = RemainingMs(until);
    if (left == 0) return false;
    pollfd wait{g_stopPipe[0], POLLIN, 0};
    poll(&wait, 1, left);
  }
  return true;
}

struct StationPort::Device {
  ~Device() {
    if (fd >= 0) close(fd);
    if (peerFd >= 0) close(peerFd);
  }
  int fd = -1;
  int peerFd = -1;
};

StationPort::StationPort() : device_(std::make_unique<Device>()) {}

StationPort::~StationPort() = default;

bool StationPort::OpenDevice(const std::string& path, long baud, std::string& error) {
  device_->fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (device_->fd < 0) {
    error = SystemError("cannot open " + path);
    return false;
  }
  return SetRawLine(device_->fd, baud, error);
}

bool StationPort::OpenPty(long baud, std::string& error) {
  int& fd = device_->fd;
  fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0) {
    error = SystemError("cannot create a pseudo-terminal");
    return false;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    error = SystemError("cannot make the pseudo-terminal non-blocking");
    return false;
  }
  char name[128];
  if (ptsname_r(fd, name, sizeof name) != 0) {
    error = SystemError("cannot name the pseudo-terminal");
    return false;
  }
  peerPath_ = name;
  device_->peerFd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (device_->peerFd < 0) {
    error = SystemError("cannot open " + peerPath_);
    return false;
  }
  return SetRawLine(device_->peerFd, baud, error);
}

void StationPort::DiscardInput() {
  uint8_t buffer[256];
  while (read(device_->fd, buffer, sizeof buffer) > 0) {
  }
}

bool StationPort::WriteAll(std::span<const uint8_t> bytes, int timeoutMs) {
  const int fd = device_->fd;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EINTR) {
      lastErrorText_ = std::strerror(errno);
      return false;
    }
    const int left = RemainingMs(deadline);
    if (left == 0) {
      lastErrorText_ = std::strerror(EAGAIN);
      return false;
    }
    pollfd wait{fd, POLLOUT, 0};
    poll(&wait, 1, left);
  }
  return true;
}

ReplyOutcome StationPort::WaitForReply(int timeoutMs) {
  const int fd = device_->fd;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    uint8_t buffer[64];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    for (ssize_t i = 0; i < count; ++i) {
      if (buffer[i] == kReplyAcknowledged) return ReplyOutcome::kAcknowledged;
      if (buffer[i] == kReplyRefused) return ReplyOutcome::kRefused;
    }
    if (count > 0) continue;
    const int left = RemainingMs(deadline);
    if (left == 0) return ReplyOutcome::kNone;
    pollfd waits[2] = {{fd, POLLIN, 0}, {g_stopPipe[0], POLLIN, 0}};
    const int ready = poll(waits, g_stopPipe[0] >= 0 ? 2 : 1, left);
    if (StopRequest::Requested() || (ready > 0 && (waits[1].revents & POLLIN) != 0)) {
      return ReplyOutcome::kStopped;
    }
    // A pty whose other side is not open reports a hang-up; keep waiting out the time-out
    // without spinning.
    if (ready > 0 && (waits[0].revents & (POLLHUP | POLLERR)) != 0 &&
        (waits[0].revents & POLLIN) == 0) {
      poll(&waits[1], g_stopPipe[0] >= 0 ? 1 : 0, RemainingMs(deadline));
    }
  }
}

}  // namespace drv::station
