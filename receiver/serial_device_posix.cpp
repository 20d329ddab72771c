#include "receiver/serial_device_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <system_error>
#include <utility>

#include "receiver/serial_custom_rate_posix.h"

namespace drv {

namespace {

SerialError ErrorForErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
      return SerialError::kNoSuchDevice;
    case EBUSY:
    case EWOULDBLOCK:
      return SerialError::kBusy;
    case EACCES:
    case EPERM:
    case EROFS:
      return SerialError::kAccessDenied;
    case ENOTTY:
      return SerialError::kNotATerminal;
    default:
      return SerialError::kIo;
  }
}

// How a tty driver answers an ioctl it does not implement.
bool IsUnsupportedIoctl(int error) {
  return error == ENOTTY || error == EINVAL || error == EOPNOTSUPP || error == ENOSYS;
}

std::string SystemMessage(int error) {
  return std::system_category().message(error);
}

}  // namespace

std::optional<speed_t> StandardSpeedFor(uint32_t bitsPerSecond) {
  switch (bitsPerSecond) {
    case 50:
      return B50;
    case 75:
      return B75;
    case 110:
      return B110;
    case 134:
      return B134;
    case 150:
      return B150;
    case 200:
      return B200;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 1800:
      return B1800;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 500000:
      return B500000;
    case 576000:
      return B576000;
    case 921600:
      return B921600;
    case 1000000:
      return B1000000;
    default:
      return std::nullopt;
  }
}

SerialError ConfigureTermios(const SerialLineSettings& settings, termios& tio) {
  cfmakeraw(&tio);
  // Modem status lines do not gate the line; DTR drops when the device is closed.
  tio.c_cflag |= CLOCAL | CREAD | HUPCL;
  // Received parity is not checked: the parity setting only shapes the transmitted bits.
  tio.c_iflag &= ~static_cast<tcflag_t>(INPCK | IGNPAR | IXON | IXOFF | IXANY);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);

  switch (settings.dataBits) {
    case 5:
      tio.c_cflag |= CS5;
      break;
    case 6:
      tio.c_cflag |= CS6;
      break;
    case 7:
      tio.c_cflag |= CS7;
      break;
    case 8:
      tio.c_cflag |= CS8;
      break;
    default:
      return SerialError::kInvalidSetting;
  }

  // A UART sends one and a half stop bits for CSTOPB with five data bits and two otherwise, so
  // 1.5 needs five data bits and 2 needs more.
  switch (settings.stopBits) {
    case sb1BITS:
      break;
    case sb1HALFBITS:
      if (settings.dataBits != 5) return SerialError::kInvalidSetting;
      tio.c_cflag |= CSTOPB;
      break;
    case sb2BITS:
      if (settings.dataBits == 5) return SerialError::kInvalidSetting;
      tio.c_cflag |= CSTOPB;
      break;
    default:
      return SerialError::kInvalidSetting;
  }

  switch (settings.parity) {
    case ptNONE:
      break;
    case ptODD:
      tio.c_cflag |= PARENB | PARODD;
      break;
    case ptEVEN:
      tio.c_cflag |= PARENB;
      break;
    case ptMARK:
      tio.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case ptSPACE:
      tio.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      return SerialError::kInvalidSetting;
  }

  switch (settings.hwFlow) {
    case hfNONE:
    case hfNONERTSON:
    case hfRTSTOG:
      break;
    case hfRTSCTS:
      tio.c_cflag |= CRTSCTS;
      break;
    default:
      return SerialError::kInvalidSetting;
  }

  switch (settings.swFlow) {
    case sfNONE:
      break;
    case sfXONXOFF:
      tio.c_iflag |= IXON | IXOFF;
      break;
    default:
      return SerialError::kInvalidSetting;
  }
  tio.c_cc[VSTART] = settings.xonChar;
  tio.c_cc[VSTOP] = settings.xoffChar;

  // Reads return what is there at once.
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return SerialError::kNone;
}

PosixSerialDevice::PosixSerialDevice(
    std::function<std::string(const std::string& portName)> resolveDevicePath)
    : resolveDevicePath_(std::move(resolveDevicePath)) {}

PosixSerialDevice::~PosixSerialDevice() {
  Close();
}

SerialError PosixSerialDevice::Fail(SerialError error, int systemError) {
  return Fail(error, SystemMessage(systemError));
}

SerialError PosixSerialDevice::Fail(SerialError error, const std::string& text) {
  lastErrorText_ = text;
  return error;
}

SerialError PosixSerialDevice::Open(const std::string& portName) {
  if (fd_ >= 0) return Fail(SerialError::kAlreadyOpen, devicePath_ + " is open already");
  devicePath_ = resolveDevicePath_ ? resolveDevicePath_(portName) : std::string();
  if (devicePath_.empty()) return Fail(SerialError::kNoSuchDevice, "no device for " + portName);

  const int fd = ::open(devicePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    return Fail(ErrorForErrno(error), devicePath_ + ": " + SystemMessage(error));
  }
  // flock refuses a second holder whoever it is; TIOCEXCL keeps out programs that do not lock.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    return Fail(error == EWOULDBLOCK ? SerialError::kBusy : ErrorForErrno(error),
                devicePath_ + ": " + SystemMessage(error));
  }
  if (::ioctl(fd, TIOCEXCL) != 0) {
    const int error = errno;
    ::close(fd);
    return Fail(ErrorForErrno(error), devicePath_ + ": " + SystemMessage(error));
  }
  fd_ = fd;
  rs485Changed_ = false;
  rs485Supported_ = true;
  int modemLines = 0;
  modemLinesSupported_ = !(::ioctl(fd_, TIOCMGET, &modemLines) != 0 && IsUnsupportedIoctl(errno));
  return SerialError::kNone;
}

void PosixSerialDevice::Close() {
  if (fd_ < 0) return;
  ApplyRtsToggle(false);
  // The exclusive flag belongs to the tty, not to this descriptor: clear it for the next opener.
  ::ioctl(fd_, TIOCNXCL);
  ::close(fd_);
  fd_ = -1;
}

SerialError PosixSerialDevice::SetModemLine(int line, bool on) {
  if (fd_ < 0) return Fail(SerialError::kNotOpen, "device not open");
  if (!modemLinesSupported_) return Fail(SerialError::kNotSupported, "no modem control lines");
  if (::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return SerialError::kNone;
  const int error = errno;
  if (IsUnsupportedIoctl(error)) {
    modemLinesSupported_ = false;
    return Fail(SerialError::kNotSupported, SystemMessage(error));
  }
  return Fail(ErrorForErrno(error), error);
}

SerialError PosixSerialDevice::ApplyRtsToggle(bool enable) {
  if (!enable) {
    if (!rs485Changed_) return SerialError::kNone;
    rs485Changed_ = false;
    if (::ioctl(fd_, TIOCSRS485, &savedRs485_) != 0) return Fail(SerialError::kIo, errno);
    return SerialError::kNone;
  }
  if (!rs485Supported_) return SerialError::kNotSupported;
  serial_rs485 config{};
  if (::ioctl(fd_, TIOCGRS485, &config) != 0) {
    const int error = errno;
    if (!IsUnsupportedIoctl(error)) return Fail(ErrorForErrno(error), error);
    rs485Supported_ = false;
    return Fail(SerialError::kNotSupported, SystemMessage(error));
  }
  if (!rs485Changed_) savedRs485_ = config;
  // RTS up while sending, down once the transmitter is empty.
  config.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
  config.flags &= ~static_cast<decltype(config.flags)>(SER_RS485_RTS_AFTER_SEND);
  if (::ioctl(fd_, TIOCSRS485, &config) != 0) {
    const int error = errno;
    if (!IsUnsupportedIoctl(error)) return Fail(ErrorForErrno(error), error);
    rs485Supported_ = false;
    return Fail(SerialError::kNotSupported, SystemMessage(error));
  }
  rs485Changed_ = true;
  return SerialError::kNone;
}

SerialError PosixSerialDevice::ApplyLineSettings(const SerialLineSettings& settings) {
  if (fd_ < 0) return Fail(SerialError::kNotOpen, "device not open");
  if (settings.bitsPerSecond == 0) return Fail(SerialError::kInvalidSetting, "line rate 0");
  termios tio{};
  if (::tcgetattr(fd_, &tio) != 0) return Fail(ErrorForErrno(errno), errno);
  if (const SerialError error = ConfigureTermios(settings, tio); error != SerialError::kNone) {
    return Fail(error, "character format or flow control not possible on this line");
  }
  const std::optional<speed_t> speed = StandardSpeedFor(settings.bitsPerSecond);
  if (speed) {
    ::cfsetispeed(&tio, *speed);
    ::cfsetospeed(&tio, *speed);
  }
  if (::tcsetattr(fd_, TCSANOW, &tio) != 0) {
    const int error = errno;
    return Fail(error == EINVAL ? SerialError::kInvalidSetting : ErrorForErrno(error), error);
  }
  if (!speed) {
    if (const int error = SetCustomLineRate(fd_, settings.bitsPerSecond); error != 0) {
      return Fail(error == EINVAL ? SerialError::kInvalidSetting : ErrorForErrno(error), error);
    }
  }

  // Lines without modem control or RS-485 mode still carry data: those refusals are remembered
  // and do not fail the settings.
  SerialError error = ApplyRtsToggle(settings.hwFlow == hfRTSTOG);
  if (error != SerialError::kNone && error != SerialError::kNotSupported) return error;
  if (settings.hwFlow == hfNONE || settings.hwFlow == hfNONERTSON) {
    error = SetModemLine(TIOCM_RTS, settings.hwFlow == hfNONERTSON);
    if (error != SerialError::kNone && error != SerialError::kNotSupported) return error;
  }
  error = SetModemLine(TIOCM_DTR, settings.dtrOn);
  if (error != SerialError::kNone && error != SerialError::kNotSupported) return error;
  return SerialError::kNone;
}

SerialError PosixSerialDevice::Purge() {
  if (fd_ < 0) return Fail(SerialError::kNotOpen, "device not open");
  if (::tcflush(fd_, TCIOFLUSH) != 0) return Fail(ErrorForErrno(errno), errno);
  return SerialError::kNone;
}

SerialError PosixSerialDevice::SetQueueSizes(uint32_t inBytes, uint32_t outBytes) {
  if (fd_ < 0) return Fail(SerialError::kNotOpen, "device not open");
  inQueueSize_ = inBytes;
  outQueueSize_ = outBytes;
  return SerialError::kNone;
}

SerialError PosixSerialDevice::SetTimeouts(const SerialTimeouts& timeouts) {
  if (fd_ < 0) return Fail(SerialError::kNotOpen, "device not open");
  timeouts_ = timeouts;
  return SerialError::kNone;
}

SerialQueueCounts PosixSerialDevice::QueryQueues() {
  if (fd_ < 0) return {Fail(SerialError::kNotOpen, "device not open"), 0, 0};
  // Linux keeps no pending line-error state to clear: with parity checking off a byte received
  // with an error is simply delivered.
  int inQueue = 0;
  int outQueue = 0;
  if (::ioctl(fd_, FIONREAD, &inQueue) != 0) return {Fail(ErrorForErrno(errno), errno), 0, 0};
  if (::ioctl(fd_, TIOCOUTQ, &outQueue) != 0) return {Fail(ErrorForErrno(errno), errno), 0, 0};
  return {SerialError::kNone, static_cast<uint32_t>(std::max(inQueue, 0)),
          static_cast<uint32_t>(std::max(outQueue, 0))};
}

SerialTransfer PosixSerialDevice::Read(uint8_t* buffer, uint32_t size) {
  if (fd_ < 0) return {Fail(SerialError::kNotOpen, "device not open"), 0};
  if (size == 0) return {};
  for (;;) {
    const ssize_t count = ::read(fd_, buffer, size);
    if (count > 0) return {SerialError::kNone, static_cast<uint32_t>(count)};
    if (count == 0) break;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return {};
    return {Fail(ErrorForErrno(errno), errno), 0};
  }
  // In raw mode without a minimum count an empty line reads 0 bytes, and so does a line that has
  // hung up (a USB adapter pulled out); only the hang-up keeps the descriptor readable, so it must
  // fail here or a reader woken by readiness would be woken for ever.
  pollfd state{fd_, POLLIN, 0};
  if (::poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR)) != 0) {
    return {Fail(SerialError::kIo, devicePath_ + ": the line has hung up"), 0};
  }
  return {};
}

SerialTransfer PosixSerialDevice::Write(const uint8_t* data, uint32_t size) {
  if (fd_ < 0) return {Fail(SerialError::kNotOpen, "device not open"), 0};
  if (size == 0) return {};
  for (;;) {
    const ssize_t count = ::write(fd_, data, size);
    if (count >= 0) return {SerialError::kNone, static_cast<uint32_t>(count)};
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return {};
    return {Fail(ErrorForErrno(errno), errno), 0};
  }
}

void PosixSerialDevice::PauseForOutput() {
  const timespec pause{0, 1000000};
  ::nanosleep(&pause, nullptr);
}

SerialError PosixSerialDevice::SetDtr(bool on) {
  return SetModemLine(TIOCM_DTR, on);
}

SerialError PosixSerialDevice::SetRts(bool on) {
  return SetModemLine(TIOCM_RTS, on);
}

SerialError PosixSerialDevice::DrainOutput() {
  if (fd_ < 0) return Fail(SerialError::kNotOpen, "device not open");
  while (::tcdrain(fd_) != 0) {
    const int error = errno;
    if (error == EINTR) continue;
    return Fail(IsUnsupportedIoctl(error) ? SerialError::kNotSupported : ErrorForErrno(error),
                error);
  }
  return SerialError::kNone;
}

}  // namespace drv
