#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "base/clock.h"
#include "base/tdatetime.h"
#include "receiver/byte_writer.h"
#include "receiver/display_list.h"

namespace drv {

class FrameLog;

// Line bytes of the station's framing.
inline constexpr uint8_t kFrameStartByte = 0x01;
// Reply to a frame that is short (0 or 1 bytes) or sums to 0.
inline constexpr uint8_t kReplyAccepted = 0x05;
// Reply to a frame of two or more bytes whose sum is not 0.
inline constexpr uint8_t kReplyBadChecksum = 0x07;
// A frame line trims the display list back to this many lines before it is added.
inline constexpr std::size_t kDisplayLineLimit = 1000;

// Frames since the start, by what the station was told.
struct FrameCounts {
  uint64_t accepted = 0;     // answered 05
  uint64_t badChecksum = 0;  // answered 07
  uint64_t unanswered = 0;   // valid, but their records could not be kept: no answer
};

// Takes the decoded bytes of every valid frame (the message interpretation in the driver); the
// frame's records are stored when it returns true. False: they could not be kept, and the
// station must not be answered, so that it sends the frame again.
class IFrameSink {
 public:
  virtual ~IFrameSink() = default;
  virtual bool HandleFrame(std::span<const uint8_t> decoded) = 0;
};

struct FrameDecoderContext {
  IClock& clock;
  IByteWriter& reply;
  IDisplayList& display;
  std::function<bool()> displayEnabled;  // the "show incoming frames" check box
  FrameLog* log;                         // null when frame logging is off
  IFrameSink& sink;                      // the interpretation
};

// The bytes a frame's nibbles rebuild: at most 127 from the 255 data bytes a frame can hold.
struct DecodedFrame {
  std::array<uint8_t, 128> bytes{};
  std::size_t count = 0;

  std::span<const uint8_t> View() const { return {bytes.data(), count}; }
};

// Rebuilds frame bytes from stored data bytes: bit 1 set carries the high half in the upper
// nibble, bit 1 clear the low half; a half left over at the end is dropped.
DecodedFrame DecodeNibbles(std::span<const uint8_t> dataBytes);

// Sum of the bytes modulo 256.
uint8_t FrameChecksum(std::span<const uint8_t> decoded);
// Two or more bytes summing to 0: shown and interpreted.
bool IsValidFrame(std::span<const uint8_t> decoded);
// The reply byte the station gets for these decoded bytes.
uint8_t ReplyFor(std::span<const uint8_t> decoded);

// Gathers the station's data bytes across packets and processes a frame at its end mark: time
// stamp, hand-over to the interpretation (which stores the frame's records), reply, frame log
// and display line.
class FrameDecoder {
 public:
  explicit FrameDecoder(FrameDecoderContext context);

  // One packet from the serial port; a size of 0 or less does nothing.
  void ReceivePacket(const uint8_t* packet, int32_t size);

  // Everything that follows the nibble decoding of a frame, for bytes decoded elsewhere
  // (a frame log being replayed): time stamp, hand-over, reply, log, display.
  void ProcessDecodedFrame(std::span<const uint8_t> decoded);

  TDateTime LastFrameTime() const { return lastFrameTime_; }
  // When the last frame came, as IClock::UnixTimeMs; nothing before the first frame (unlike
  // LastFrameTime, which start-up sets).
  std::optional<int64_t> LastFrameUnixMs() const { return lastFrameUnixMs_; }
  const FrameCounts& Counts() const { return counts_; }
  void SetLastFrameTime(TDateTime value) { lastFrameTime_ = value; }

  // The assembly state, kept across packets and frames; reset only by a start byte.
  uint8_t FrameLength() const { return frameLength_; }
  const std::array<uint8_t, 256>& FrameBuffer() const { return frameBuffer_; }

 private:
  void AppendFrameLine(const std::string& compactHex);
  void ShowStatusLine(TDateTime now, const char* text);

  FrameDecoderContext context_;
  std::array<uint8_t, 256> frameBuffer_{};
  uint8_t frameLength_ = 0;
  TDateTime lastFrameTime_ = 0.0;
  std::optional<int64_t> lastFrameUnixMs_;
  FrameCounts counts_;
  // Frames are being left unanswered: the display list has said so once.
  bool refusing_ = false;
};

}  // namespace drv
