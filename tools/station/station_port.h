#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

// The simulated station's port, its end of the serial line: a real port, or (POSIX systems) a
// pseudo-terminal pair made here; and the stop request of Ctrl-C or a termination signal. One
// file per platform.
namespace drv::station {

// Whether the line can run at `baud`: the standard rates of the platform's serial ports.
bool IsStandardRate(long baud);

// Every line of the report reaches a reader (a test, a pipe) as soon as it is printed.
void LineBufferStandardOutput();

// Ctrl-C, a termination request (SIGTERM, SIGHUP; on Windows Ctrl-Break and the console's close)
// ends the run: one flag for the whole process, which every wait of the station watches.
class StopRequest {
 public:
  // Installs the handlers; false when that fails.
  static bool Install();
  // True once a stop has been requested.
  static bool Requested();
  // Waits up to `milliseconds`; true when a stop was requested meanwhile or before.
  static bool Wait(int milliseconds);
};

// What a wait for the reply byte ended with.
enum class ReplyOutcome { kAcknowledged, kRefused, kNone, kStopped };

class StationPort {
 public:
  StationPort();
  ~StationPort();
  StationPort(const StationPort&) = delete;
  StationPort& operator=(const StationPort&) = delete;

  // Opens a serial device (a path such as /dev/ttyUSB0; on Windows a port such as COM3) in raw
  // mode, 8 data bits, no parity, 1 stop bit.
  bool OpenDevice(const std::string& path, long baud, std::string& error);

  // POSIX systems only (elsewhere it fails with a message): makes a pseudo-terminal pair; the
  // driver opens PeerPath(). The station keeps the peer side open as well, in raw mode, so that
  // nothing is echoed back before the driver has set its own line settings and the line does not
  // hang up when the driver closes its port.
  bool OpenPty(long baud, std::string& error);

  const std::string& PeerPath() const { return peerPath_; }

  // Drops whatever the other side sent since the last frame: a late reply must not count
  // for the next one.
  void DiscardInput();

  // Writes all bytes; false when the line took none of them for `timeoutMs` or failed, with the
  // reason in LastErrorText().
  bool WriteAll(std::span<const uint8_t> bytes, int timeoutMs);

  // Waits up to `timeoutMs` for 0x05 or 0x07; other bytes are skipped. A stop request ends the
  // wait early (kStopped).
  ReplyOutcome WaitForReply(int timeoutMs);

  const std::string& LastErrorText() const { return lastErrorText_; }

 private:
  struct Device;  // the platform's descriptors or handles
  std::unique_ptr<Device> device_;
  std::string peerPath_;
  std::string lastErrorText_;
};

}  // namespace drv::station
