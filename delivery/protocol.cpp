#include "delivery/protocol.h"

#include <algorithm>
#include <limits>

namespace drv {

namespace {

template <typename T>
void PutLittleEndian(uint8_t* out, T value) {
  auto bits = static_cast<std::make_unsigned_t<T>>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    out[i] = static_cast<uint8_t>(bits & 0xFF);
    bits = static_cast<std::make_unsigned_t<T>>(bits >> 8);
  }
}

template <typename T>
T GetLittleEndian(const uint8_t* in) {
  std::make_unsigned_t<T> bits = 0;
  for (std::size_t i = sizeof(T); i-- > 0;) {
    bits = static_cast<std::make_unsigned_t<T>>((bits << 8) | in[i]);
  }
  return static_cast<T>(bits);
}

// A decimal integer with an optional sign that fits 32 bits; anything else is 0.
int32_t DecimalOrZero(std::string_view text) {
  std::size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  if (pos == text.size()) return 0;
  int64_t value = 0;
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
    if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) return 0;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) return 0;
  return static_cast<int32_t>(value);
}

// The text before the next "." of `rest`, removed together with its "."; without a ".", the
// part is empty and `rest` stays.
std::string_view TakeDottedPart(std::string_view& rest) {
  const std::size_t dot = rest.find('.');
  if (dot == std::string_view::npos) return {};
  const std::string_view part = rest.substr(0, dot);
  rest.remove_prefix(dot + 1);
  return part;
}

}  // namespace

std::array<uint8_t, MessageHeader::kSize> EncodeMessageHeader(const MessageHeader& header) {
  std::array<uint8_t, MessageHeader::kSize> bytes{};
  bytes[0] = MessageHeader::kStart;
  PutLittleEndian(&bytes[MessageHeader::kTypeOffset], header.type);
  PutLittleEndian(&bytes[MessageHeader::kLengthOffset], header.length);
  PutLittleEndian(&bytes[MessageHeader::kNumberOffset], header.number);
  bytes[MessageHeader::kEndOffset] = MessageHeader::kEnd;
  return bytes;
}

std::array<uint8_t, FrameHeader::kSize> EncodeFrameHeader(const FrameHeader& header) {
  std::array<uint8_t, FrameHeader::kSize> bytes{};
  bytes[0] = FrameHeader::kMarker;
  PutLittleEndian(&bytes[FrameHeader::kBodyLengthOffset], header.bodyLength);
  PutLittleEndian(&bytes[FrameHeader::kBodyLengthCopyOffset], header.bodyLength);
  return bytes;
}

std::vector<uint8_t> BuildMessage(uint32_t type, int64_t number, std::span<const uint8_t> payload) {
  const auto header =
      EncodeMessageHeader(MessageHeader{type, static_cast<int32_t>(payload.size()), number});
  std::vector<uint8_t> message;
  message.reserve(header.size() + payload.size());
  message.insert(message.end(), header.begin(), header.end());
  message.insert(message.end(), payload.begin(), payload.end());
  return message;
}

std::vector<uint8_t> BuildFrame(std::span<const uint8_t> message) {
  const auto header = EncodeFrameHeader(FrameHeader{static_cast<int32_t>(message.size())});
  std::vector<uint8_t> frame;
  frame.reserve(header.size() + message.size());
  frame.insert(frame.end(), header.begin(), header.end());
  frame.insert(frame.end(), message.begin(), message.end());
  return frame;
}

bool WriteFrame(IConnection& connection, std::span<const uint8_t> message) {
  const std::vector<uint8_t> frame = BuildFrame(message);
  return connection.Write(frame);
}

FrameReadResult ReadFrame(IConnection& connection, const IClock& clock) {
  std::array<uint8_t, FrameHeader::kSize> header{};
  std::size_t got = 0;
  while (got < header.size()) {
    const int n =
        connection.ReadSome(header.data() + got, header.size() - got, kFrameIdleTimeoutMs);
    // Silence after part of a header has eaten into the stream like a stalled body.
    if (n == 0) return {got == 0 ? FrameReadStatus::kTimedOut : FrameReadStatus::kStalled, {}};
    if (n < 0 || static_cast<std::size_t>(n) > header.size() - got) {
      return {FrameReadStatus::kEndOfStream, {}};
    }
    got += static_cast<std::size_t>(n);
  }
  // A wrong marker is not searched past: the stream is out of step and the session will find out.
  if (header[0] != FrameHeader::kMarker && header[0] != FrameHeader::kAlternateMarker) {
    return {FrameReadStatus::kBadMarker, {}};
  }
  const int32_t length = GetLittleEndian<int32_t>(&header[FrameHeader::kBodyLengthOffset]);
  if (length <= 0 || length > kMaxBodyLength) return {FrameReadStatus::kBadLength, {}};

  const auto total = static_cast<std::size_t>(length);
  FrameReadResult result{FrameReadStatus::kOk, {}};
  // The body grows with what arrives, so a lying length costs nothing until the bytes come.
  result.body.reserve(std::min(total, kBodyPieceSize));
  std::vector<uint8_t> piece(std::min(total, kBodyPieceSize));
  const uint32_t start = clock.TickCount();
  while (result.body.size() < total) {
    const uint32_t elapsed = TickDiff(clock.TickCount(), start);
    if (elapsed >= kBodyDeadlineMs) return {FrameReadStatus::kStalled, {}};
    const std::size_t request = std::min(total - result.body.size(), kBodyPieceSize);
    const int wait =
        static_cast<int>(std::min<uint32_t>(kFrameIdleTimeoutMs, kBodyDeadlineMs - elapsed));
    const int n = connection.ReadSome(piece.data(), request, wait);
    if (n == 0) return {FrameReadStatus::kStalled, {}};
    if (n < 0 || static_cast<std::size_t>(n) > request) return {FrameReadStatus::kEndOfStream, {}};
    result.body.insert(result.body.end(), piece.begin(), piece.begin() + n);
  }
  return result;
}

std::optional<DecodedMessage> DecodeMessage(std::span<const uint8_t> body) {
  if (body.size() < MessageHeader::kSize || body[0] != MessageHeader::kStart ||
      body[MessageHeader::kEndOffset] != MessageHeader::kEnd) {
    return std::nullopt;
  }
  DecodedMessage message;
  message.type = GetLittleEndian<uint32_t>(&body[MessageHeader::kTypeOffset]);
  message.number = GetLittleEndian<int64_t>(&body[MessageHeader::kNumberOffset]);
  if (GetLittleEndian<int32_t>(&body[MessageHeader::kLengthOffset]) != 0) {
    message.payload.assign(body.begin() + MessageHeader::kSize, body.end());
  }
  return message;
}

std::array<uint16_t, 4> ParseVersionText(std::string_view text) {
  if (text.find('.') == std::string_view::npos) return {0, 0, 0, 0};
  std::string_view rest = text;
  const std::string_view major = TakeDottedPart(rest);
  const std::string_view minor = TakeDottedPart(rest);
  const std::string_view release = TakeDottedPart(rest);
  const std::string_view build = rest;
  std::array<uint16_t, 4> version{};
  const std::array<std::string_view, 4> parts{major, minor, release, build};
  for (std::size_t i = 0; i < parts.size(); ++i) {
    version[i] = static_cast<uint16_t>(static_cast<uint32_t>(DecimalOrZero(parts[i])));
  }
  return version;
}

std::array<uint8_t, 8> VersionPayload(const std::array<uint16_t, 4>& version) {
  std::array<uint8_t, 8> payload{};
  for (std::size_t i = 0; i < version.size(); ++i) PutLittleEndian(&payload[2 * i], version[i]);
  return payload;
}

}  // namespace drv
