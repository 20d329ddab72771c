#include "tools/station/station_frames.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace drv::station {
namespace {

void RequireRange(bool inRange, const char* what) {
  if (!inRange) throw std::out_of_range(what);
}

template <typename T>
T Pick(std::mt19937& random, T low, T high) {
  return static_cast<T>(std::uniform_int_distribution<int>(low, high)(random));
}

template <typename T, std::size_t N>
const T& PickOne(std::mt19937& random, const std::array<T, N>& items) {
  return items[std::uniform_int_distribution<std::size_t>(0, N - 1)(random)];
}

std::string TwoHexDigits(uint8_t byte) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", byte);
  return text;
}

std::string JoinNumbers(std::span<const uint8_t> values, bool hex) {
  std::string text;
  for (uint8_t value : values) {
    if (!text.empty()) text += ',';
    text += hex ? TwoHexDigits(value) : std::to_string(value);
  }
  return text;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  const int lower = std::tolower(static_cast<unsigned char>(c));
  if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
  return -1;
}

StationMessage RandomReport(std::mt19937& random) {
  // Burglary, fire, panic, duress, perimeter, mains loss, low battery, opening/closing, bypass,
  // periodic test: the codes a monitoring centre sees most.
  static constexpr std::array<uint16_t, 10> kEvents = {130, 110, 120, 121, 131,
                                                       301, 302, 401, 570, 602};
  ReportFields fields;
  fields.objectNumber = Pick<uint16_t>(random, 1, 9999);
  fields.eventNumber = PickOne(random, kEvents);
  fields.qualifier = fields.eventNumber == 602 || Pick<int>(random, 0, 2) != 0 ? 1 : 3;
  fields.zone = Pick<uint8_t>(random, 1, 32);
  fields.partition = Pick<uint8_t>(random, 0, 2);
  StationMessage message;
  message.bytes = BuildReportMessage(fields);
  message.description = "report --object " + std::to_string(fields.objectNumber) + " --code " +
                        std::to_string(fields.eventNumber) + " --zone " +
                        std::to_string(fields.zone) + " --partition " +
                        std::to_string(fields.partition) + " --qualifier " +
                        std::to_string(fields.qualifier);
  return message;
}

StationMessage RandomBlock(std::mt19937& random) {
  BlockMessageBuilder builder;
  const uint16_t object = Pick<uint16_t>(random, 1, BlockMessageBuilder::kMaxObjectNumber);
  std::string description = "block object " + std::to_string(object);
  builder.Object(object);
  switch (Pick<int>(random, 0, 2)) {
    case 0: {  // one event per zone of a list
      const uint8_t code = Pick<uint8_t>(random, 0x01, 0x3F);
      std::vector<uint8_t> zones(Pick<std::size_t>(random, 1, 4));
      for (uint8_t& zone : zones) zone = Pick<uint8_t>(random, 1, 32);
      builder.Code(code).ZoneList(zones);
      description += " code " + TwoHexDigits(code) + " zones " + JoinNumbers(zones, false);
      break;
    }
    case 1: {  // zone masks: one event per set bit
      const std::array<uint8_t, 2> masks = {Pick<uint8_t>(random, 0, 255),
                                            Pick<uint8_t>(random, 1, 255)};
      builder.Code(0x64).ExtraBytes(masks);
      description += " code 64 extra " + JoinNumbers(masks, true);
      break;
    }
    default: {  // a code whose zone rides in a zone sub-block
      static constexpr std::array<uint8_t, 5> kZonedCodes = {0x06, 0x07, 0x40, 0x05, 0x54};
      const uint8_t code = PickOne(random, kZonedCodes);
      const uint8_t zone = Pick<uint8_t>(random, 1, BlockMessageBuilder::kMaxZoneSubBlock);
      builder.Code(code).Zone(zone);
      description += " code " + TwoHexDigits(code) + " zone " + std::to_string(zone);
      break;
    }
  }
  return StationMessage{builder.Finish(), true, description};
}

}  // namespace

uint8_t ZeroSumChecksum(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (uint8_t byte : bytes) sum = static_cast<uint8_t>(sum + byte);
  return static_cast<uint8_t>(0x100 - sum);
}

std::vector<uint8_t> WithChecksum(std::span<const uint8_t> message, bool corrupt) {
  std::vector<uint8_t> out(message.begin(), message.end());
  out.push_back(static_cast<uint8_t>(ZeroSumChecksum(message) + (corrupt ? 1 : 0)));
  return out;
}

std::vector<uint8_t> EncodeFrame(std::span<const uint8_t> decoded, std::optional<uint8_t> endMark) {
  if (endMark && !IsEndMark(*endMark)) throw std::invalid_argument("not an end mark");
  std::vector<uint8_t> line;
  line.reserve(decoded.size() * 2 + 2);
  line.push_back(kStartByte);
  for (uint8_t byte : decoded) {
    line.push_back(HighHalfCarrier(byte));
    line.push_back(LowHalfCarrier(byte));
  }
  if (endMark) line.push_back(*endMark);
  return line;
}

std::vector<uint8_t> NoiseBytes(std::size_t count, std::mt19937& random) {
  std::vector<uint8_t> noise;
  noise.reserve(count);
  while (noise.size() < count) {
    const auto byte = static_cast<uint8_t>(random());
    if (IsDataByte(byte)) noise.push_back(byte);
  }
  return noise;
}

std::vector<uint8_t> BuildReportMessage(const ReportFields& fields) {
  RequireRange(fields.eventNumber <= kMaxEventNumber, "event number above 1023");
  RequireRange(fields.partition <= kMaxPartition, "partition above 15");
  RequireRange(fields.qualifier == 1 || fields.qualifier == 3, "qualifier other than 1 or 3");
  std::vector<uint8_t> d(13, 0);
  d[0] = kReportMessageKind;
  // d[1], d[2], d[4] and the low nibble of d[3] stay 0: no extra receiver information, and
  // d[2] must not be 7E, which would clear the object number.
  d[3] = static_cast<uint8_t>(fields.partition << 4);
  d[5] = static_cast<uint8_t>(fields.objectNumber >> 8);
  d[6] = static_cast<uint8_t>(fields.objectNumber & 0xFF);
  d[7] = 0;  // keeps d[3]'s high nibble as the partition
  d[8] = static_cast<uint8_t>(0x20 | (fields.qualifier == 1 ? 0x10 : 0x00));
  d[9] = static_cast<uint8_t>(fields.eventNumber >> 8);
  d[10] = static_cast<uint8_t>(fields.eventNumber & 0xFF);
  d[11] = fields.zone;
  d[12] = fields.partition;
  return d;
}

BlockMessageBuilder& BlockMessageBuilder::Object(uint16_t objectNumber) {
  RequireRange(objectNumber >= 1 && objectNumber <= kMaxObjectNumber, "object outside 1..4096");
  const auto offset = static_cast<uint16_t>(objectNumber - 1);
  body_.push_back(0x20);
  body_.push_back(static_cast<uint8_t>(offset >> 8));
  body_.push_back(static_cast<uint8_t>(offset & 0xFF));
  return *this;
}

BlockMessageBuilder& BlockMessageBuilder::Code(uint8_t code) {
  body_.push_back(0x10);
  body_.push_back(code);
  return *this;
}

BlockMessageBuilder& BlockMessageBuilder::Zone(uint8_t zone) {
  RequireRange(zone >= 1 && zone <= kMaxZoneSubBlock, "zone sub-block outside 1..64");
  body_.push_back(static_cast<uint8_t>(0x40 | (zone - 1)));
  return *this;
}

BlockMessageBuilder& BlockMessageBuilder::ZoneList(std::span<const uint8_t> zones) {
  RequireRange(!zones.empty() && zones.size() <= kMaxListItems, "zone list of 1..31 zones");
  body_.push_back(static_cast<uint8_t>(0xA0 | zones.size()));
  // The receiving side adds 1 to each item.
  for (uint8_t zone : zones) body_.push_back(static_cast<uint8_t>(zone - 1));
  return *this;
}

BlockMessageBuilder& BlockMessageBuilder::ExtraBytes(std::span<const uint8_t> bytes) {
  RequireRange(!bytes.empty() && bytes.size() <= kMaxListItems, "1..31 extra bytes");
  body_.push_back(static_cast<uint8_t>(0x80 | bytes.size()));
  body_.insert(body_.end(), bytes.begin(), bytes.end());
  return *this;
}

std::vector<uint8_t> BlockMessageBuilder::Finish() const {
  std::vector<uint8_t> message;
  message.reserve(body_.size() + 2);
  message.push_back(kBlockMessageKind);
  message.insert(message.end(), body_.begin(), body_.end());
  message.push_back(0x00);
  return message;
}

StationMessage RandomMessage(std::mt19937& random) {
  return Pick<int>(random, 0, 4) == 0 ? RandomBlock(random) : RandomReport(random);
}

std::optional<std::vector<uint8_t>> ParseHexWords(std::span<const std::string> words) {
  std::vector<uint8_t> bytes;
  for (const std::string& word : words) {
    if (word.empty() || word.size() % 2 != 0) return std::nullopt;
    for (std::size_t i = 0; i < word.size(); i += 2) {
      const int high = HexDigitValue(word[i]);
      const int low = HexDigitValue(word[i + 1]);
      if (high < 0 || low < 0) return std::nullopt;
      bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
  }
  return bytes;
}

}  // namespace drv::station
