#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// What a receiving station puts on the serial line. The station knows nothing of the driver's
// code: it builds its frames from the line rules alone, so tests can hold one against the other.
namespace drv::station {

inline constexpr uint8_t kStartByte = 0x01;
inline constexpr uint8_t kDefaultEndMark = 0x03;
inline constexpr uint8_t kReplyAcknowledged = 0x05;
inline constexpr uint8_t kReplyRefused = 0x07;

inline constexpr uint8_t kReportMessageKind = 0xF2;
inline constexpr uint8_t kBlockMessageKind = 0x45;

// A byte with both low bits set ends a frame.
constexpr bool IsEndMark(uint8_t byte) {
  return (byte & 0x03) == 0x03;
}
// What the receiving side takes as a data byte: neither the start byte nor an end mark.
constexpr bool IsDataByte(uint8_t byte) {
  return byte != kStartByte && !IsEndMark(byte);
}

// One half of a byte rides in the upper nibble of a data byte; bit 1 marks the high half.
constexpr uint8_t HighHalfCarrier(uint8_t byte) {
  return static_cast<uint8_t>((byte & 0xF0) | 0x02);
}
constexpr uint8_t LowHalfCarrier(uint8_t byte) {
  return static_cast<uint8_t>(byte << 4);
}

// The byte that brings the sum of `bytes` and itself to 0 modulo 256.
uint8_t ZeroSumChecksum(std::span<const uint8_t> bytes);

// `message` with its checksum appended; `corrupt` makes the sum 1 instead of 0.
std::vector<uint8_t> WithChecksum(std::span<const uint8_t> message, bool corrupt = false);

// The line bytes of one frame: the start byte, two carriers per byte (high half first) and the
// end mark, or no end mark at all when `endMark` is empty. `endMark` must be an end mark.
std::vector<uint8_t> EncodeFrame(std::span<const uint8_t> decoded,
                                 std::optional<uint8_t> endMark = kDefaultEndMark);

// Line garbage that a start byte must discard: random bytes that are never a start byte or an
// end mark, so they cannot make the receiving side process a frame of their own.
std::vector<uint8_t> NoiseBytes(std::size_t count, std::mt19937& random);

// A report message in the numeric (Contact-ID style) code format.
struct ReportFields {
  uint16_t objectNumber = 0;  // 0..65535, high byte first on the line
  uint16_t eventNumber = 0;   // 0..1023
  uint8_t qualifier = 1;      // 1: new event or opening, 3: restore or closing
  uint8_t zone = 0;
  uint8_t partition = 0;  // 0..15
};

inline constexpr uint16_t kMaxEventNumber = 1023;
inline constexpr uint8_t kMaxPartition = 15;

// The message bytes without the checksum; throws std::out_of_range for values outside the
// ranges above or a qualifier other than 1 and 3.
std::vector<uint8_t> BuildReportMessage(const ReportFields& fields);

// A block message: sub-blocks that change parts of the receiving side's current event, ended by
// a 0 head so that the checksum byte is never read as one more sub-block.
class BlockMessageBuilder {
 public:
  static constexpr uint16_t kMaxObjectNumber = 4096;
  static constexpr uint8_t kMaxZoneSubBlock = 64;
  static constexpr std::size_t kMaxListItems = 31;

  // Object sub-block: object numbers 1..4096.
  BlockMessageBuilder& Object(uint16_t objectNumber);
  // Code sub-block: the event code becomes the byte's two hex digits.
  BlockMessageBuilder& Code(uint8_t code);
  // Zone sub-block, zones 1..64; the receiving side applies it to a few event codes only.
  BlockMessageBuilder& Zone(uint8_t zone);
  // Zone list: one event per zone, in order; 1..31 zones.
  BlockMessageBuilder& ZoneList(std::span<const uint8_t> zones);
  // Extra bytes: the first two are kept as the event's extra bytes; 1..31 bytes.
  BlockMessageBuilder& ExtraBytes(std::span<const uint8_t> bytes);

  bool Empty() const { return body_.empty(); }
  // The message bytes without the checksum.
  std::vector<uint8_t> Finish() const;

 private:
  std::vector<uint8_t> body_;
};

// A message ready to go out, with a line that says what it carries.
struct StationMessage {
  std::vector<uint8_t> bytes;  // without the checksum
  bool appendChecksum = true;
  std::string description;
};

// A random report (about four in five) or block message with realistic alarm codes.
StationMessage RandomMessage(std::mt19937& random);

// Hex bytes from words such as "F2", "0e" or "F20E01"; nullopt on a non-hex character or an odd
// number of digits in a word.
std::optional<std::vector<uint8_t>> ParseHexWords(std::span<const std::string> words);

}  // namespace drv::station
