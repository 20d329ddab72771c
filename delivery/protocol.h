#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "delivery/connection.h"

namespace drv {

// Every message: an 18-byte header, then the payload. Little-endian throughout.
struct MessageHeader {
  static constexpr std::size_t kSize = 18;
  static constexpr std::size_t kTypeOffset = 1;
  static constexpr std::size_t kLengthOffset = 5;
  static constexpr std::size_t kNumberOffset = 9;
  static constexpr std::size_t kEndOffset = 17;
  static constexpr uint8_t kStart = 0xFF;
  static constexpr uint8_t kEnd = 0xFE;

  uint32_t type = 0;
  int32_t length = 0;  // payload bytes after the header
  int64_t number = 0;
};

// Every frame on the wire: a 21-byte header, then the message (the body).
struct FrameHeader {
  static constexpr std::size_t kSize = 21;
  static constexpr std::size_t kBodyLengthOffset = 5;
  static constexpr std::size_t kBodyLengthCopyOffset = 17;
  static constexpr uint8_t kMarker = 0xFF;
  static constexpr uint8_t kAlternateMarker = 0xF0;  // also accepted from the server

  int32_t bodyLength = 0;
};

std::array<uint8_t, MessageHeader::kSize> EncodeMessageHeader(const MessageHeader& header);
std::array<uint8_t, FrameHeader::kSize> EncodeFrameHeader(const FrameHeader& header);

// Header and payload as one message; the length field is the payload's size.
std::vector<uint8_t> BuildMessage(uint32_t type, int64_t number, std::span<const uint8_t> payload);

// Frame header and message, written as one contiguous run of bytes.
std::vector<uint8_t> BuildFrame(std::span<const uint8_t> message);
bool WriteFrame(IConnection& connection, std::span<const uint8_t> message);

inline constexpr int kFrameIdleTimeoutMs = 1000;
inline constexpr std::size_t kBodyPieceSize = 50000;
// No server message comes anywhere near this; a larger length is taken for a broken stream.
inline constexpr int32_t kMaxBodyLength = 16 * 1024 * 1024;
// A body that has started must be complete within this time.
inline constexpr uint32_t kBodyDeadlineMs = 5000;

enum class FrameReadStatus {
  kOk,
  kTimedOut,     // no byte at all for the idle time-out: the answer may still come
  kEndOfStream,  // the server closed the connection, or it failed
  kBadMarker,
  kBadLength,  // negative, zero or beyond kMaxBodyLength
  kStalled,    // the header or the body stopped arriving part way
};

struct FrameReadResult {
  FrameReadStatus status = FrameReadStatus::kTimedOut;
  std::vector<uint8_t> body;
  bool Ok() const { return status == FrameReadStatus::kOk; }
};

// Reads one frame and returns its body. The header must arrive without a pause of
// kFrameIdleTimeoutMs; the body is requested in pieces of at most kBodyPieceSize and fails when
// a piece brings nothing for kFrameIdleTimeoutMs or the whole body takes over kBodyDeadlineMs.
FrameReadResult ReadFrame(IConnection& connection, const IClock& clock);

struct DecodedMessage {
  uint32_t type = 0;
  int64_t number = 0;
  std::vector<uint8_t> payload;
};

// A good message starts with 0xFF and has 0xFE at offset 17; anything else (also a body shorter
// than the header) gives nullopt. The payload is the rest of the body unless the length field
// is 0; its size follows from the body, not from that field.
std::optional<DecodedMessage> DecodeMessage(std::span<const uint8_t> body);

// Major, minor, release and build from a text such as "1.4.2.17"; a part that is no decimal
// integer counts 0, and each keeps its low 16 bits.
std::array<uint16_t, 4> ParseVersionText(std::string_view text);
std::array<uint8_t, 8> VersionPayload(const std::array<uint16_t, 4>& version);

}  // namespace drv
