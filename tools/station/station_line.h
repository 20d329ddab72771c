#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

// The station's end of the serial line: a real port, or a pseudo-terminal pair made here.
namespace drv::station {

// termios speed constant for a standard rate; nullopt for any other rate.
std::optional<unsigned> StandardBaudConstant(long baud);

// What a wait for the reply byte ended with.
enum class ReplyOutcome { kAcknowledged, kRefused, kNone, kStopped };

class StationLine {
 public:
  StationLine() = default;
  ~StationLine();
  StationLine(const StationLine&) = delete;
  StationLine& operator=(const StationLine&) = delete;

  // Opens a serial device in raw mode, 8 data bits, no parity, 1 stop bit.
  bool OpenDevice(const std::string& path, unsigned baudConstant, std::string& error);

  // Makes a pseudo-terminal pair; the driver opens PeerPath(). The station keeps the peer side
  // open as well, in raw mode, so that nothing is echoed back before the driver has set its own
  // line settings and the line does not hang up when the driver closes its port.
  bool OpenPty(unsigned baudConstant, std::string& error);

  const std::string& PeerPath() const { return peerPath_; }

  // Drops whatever the other side sent since the last frame: a late reply must not count
  // for the next one.
  void DiscardInput();

  // Writes all bytes; false when the line took none of them for `timeoutMs` or failed.
  bool WriteAll(std::span<const uint8_t> bytes, int timeoutMs);

  // Waits up to `timeoutMs` for 0x05 or 0x07; other bytes are skipped. `stopFd` becoming
  // readable ends the wait early (kStopped).
  ReplyOutcome WaitForReply(int timeoutMs, int stopFd);

 private:
  int fd_ = -1;
  int peerFd_ = -1;
  std::string peerPath_;
};

}  // namespace drv::station
