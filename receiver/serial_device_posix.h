#pragma once

#include <linux/serial.h>
#include <termios.h>

#include <functional>
#include <optional>
#include <string>

#include "receiver/serial_device.h"

namespace drv {

// The standard termios speed constant for a rate, if there is one.
std::optional<speed_t> StandardSpeedFor(uint32_t bitsPerSecond);

// Puts `tio` in raw mode with the character format and flow control of `settings`; the speed is
// set separately. kInvalidSetting for a combination the line cannot carry.
SerialError ConfigureTermios(const SerialLineSettings& settings, termios& tio);

// A serial line of this machine: a tty device opened exclusively (flock, so even a second open by
// root fails, and TIOCEXCL), non-blocking, in raw mode.
class PosixSerialDevice final : public ISerialDevice {
 public:
  // `resolveDevicePath` turns a port name into a device path, empty when there is none; it is
  // asked at every open.
  explicit PosixSerialDevice(
      std::function<std::string(const std::string& portName)> resolveDevicePath);
  ~PosixSerialDevice() override;
  PosixSerialDevice(const PosixSerialDevice&) = delete;
  PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

  SerialError Open(const std::string& portName) override;
  void Close() override;
  bool IsOpen() const override { return fd_ >= 0; }

  SerialError ApplyLineSettings(const SerialLineSettings& settings) override;
  SerialError Purge() override;
  // Linux sizes its queues itself: the sizes are remembered only.
  SerialError SetQueueSizes(uint32_t inBytes, uint32_t outBytes) override;
  // Reads and writes never wait on this device: the time-outs are remembered only.
  SerialError SetTimeouts(const SerialTimeouts& timeouts) override;
  SerialQueueCounts QueryQueues() override;
  SerialTransfer Read(uint8_t* buffer, uint32_t size) override;
  SerialTransfer Write(const uint8_t* data, uint32_t size) override;
  void PauseForOutput() override;
  SerialError SetDtr(bool on) override;
  SerialError SetRts(bool on) override;
  SerialError DrainOutput() override;
  // True while the kernel's RS-485 mode is on.
  bool TogglesRtsItself() const override { return rs485Changed_; }
  // The descriptor.
  SerialReadinessHandle ReadinessHandle() const override { return fd_; }
  bool SupportsModemLines() const override { return modemLinesSupported_; }

  const std::string& LastErrorText() const override { return lastErrorText_; }
  const std::string& DevicePath() const { return devicePath_; }

 private:
  SerialError Fail(SerialError error, int systemError);
  SerialError Fail(SerialError error, const std::string& text);
  // Raises (on) or lowers a modem line; a line without modem control is remembered as such.
  SerialError SetModemLine(int line, bool on);
  SerialError ApplyRtsToggle(bool enable);

  std::function<std::string(const std::string&)> resolveDevicePath_;
  int fd_ = -1;
  std::string devicePath_;
  std::string lastErrorText_;
  bool modemLinesSupported_ = true;
  bool rs485Supported_ = true;
  bool rs485Changed_ = false;
  serial_rs485 savedRs485_{};  // the RS-485 mode found at open, restored at close
  SerialTimeouts timeouts_;
  uint32_t inQueueSize_ = 0;
  uint32_t outQueueSize_ = 0;
};

}  // namespace drv
