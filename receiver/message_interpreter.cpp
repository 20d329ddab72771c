#include "receiver/message_interpreter.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>

namespace drv {

namespace {

constexpr uint8_t kLowNibble = 0x0F;

// Report message, byte 2 (InfoB): the event belongs to no object.
constexpr uint8_t kInfoBWithoutObject = 0x7E;
// Report message, byte 4: bits 4 to 6 carry InfoA.
constexpr uint8_t kInfoABits = 0x70;

// Report message, byte 8 (Flags): bits 5 to 7 give the code format, bits 4 to 2 qualify it.
constexpr int kCodeFormatShift = 5;
constexpr uint8_t kQualifierOneFlag = 0x10;  // numeric code: qualifier digit 1, else 3
constexpr uint8_t kExtraBytesFlag = 0x08;    // hex code: bytes 10 and 11 are meant ...
constexpr uint8_t kZoneInExtraFlag = 0x04;   // ... and with this, byte 11 is the zone less one
constexpr uint8_t kEventNumberHighBits = 0x03;

// Block message sub-block heads: the highest of these bits that is set gives the kind.
constexpr uint8_t kListHead = 0x80;
constexpr uint8_t kZoneHead = 0x40;
constexpr uint8_t kObjectHead = 0x20;
constexpr uint8_t kCodeHead = 0x10;
constexpr uint8_t kEndOfSubBlocks = 0x00;
constexpr uint8_t kZoneListFlag = 0x20;     // list head: zones, not extra bytes
constexpr uint8_t kListLengthBits = 0x1F;   // list head: the number of items
constexpr uint8_t kZoneBits = 0x3F;         // zone head: the zone less one
constexpr uint8_t kObjectInfoEBit = 0x08;   // object head
constexpr uint8_t kObjectInfoCBits = 0x07;  // object head
constexpr uint8_t kObjectHighBits = 0x0F;   // object sub-block, first byte after the head

// The Flags a block message's list leaves: zones, one extra byte, two or more extra bytes.
constexpr uint8_t kFlagsZoneList = 0;
constexpr uint8_t kFlagsOneExtraByte = 8;
constexpr uint8_t kFlagsTwoExtraBytes = 10;

// Codes whose Extra1 is byte 11 of a report message in the hex code format (compared lower-case).
constexpr std::string_view kCodesWithExtra1FromByte11[] = {"7e", "3d", "3e", "3f"};
// The only codes that a zone sub-block gives a zone.
constexpr std::string_view kCodesWithZoneSubBlock[] = {"06", "07", "40", "05", "54"};
// The code whose Extra1 and Extra2 are zone masks, emitted as one record per zone.
constexpr std::string_view kZoneMaskCode = "64";

std::string TwoHexDigits(uint8_t value) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[value >> 4], kDigits[value & kLowNibble]};
}

std::string LowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool IsOneOf(const std::string& text, std::span<const std::string_view> candidates) {
  return std::ranges::find(candidates, text) != candidates.end();
}

// Event number 0..1023 as at least three digits behind the qualifier digit, cut to four
// characters: 130 -> "1130", 5 -> "3005", 1000 -> "1100".
std::string NumericEventCode(unsigned eventNumber, bool qualifierOne) {
  std::string digits = std::to_string(eventNumber);
  if (digits.size() < 3) digits.insert(0, 3 - digits.size(), '0');
  std::string code = (qualifierOne ? "1" : "3") + digits;
  code.resize(std::min<std::size_t>(code.size(), 4));
  return code;
}

}  // namespace

// The decoded bytes with every index past the end reading 0: the station's layouts are read
// at fixed positions whatever the frame's length.
class MessageInterpreter::FrameBytes {
 public:
  explicit FrameBytes(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint8_t operator[](std::size_t index) const { return index < bytes_.size() ? bytes_[index] : 0; }
  std::size_t size() const { return bytes_.size(); }

 private:
  std::span<const uint8_t> bytes_;
};

// A report message, byte by byte:
//   1      InfoE
//   2      InfoB; 7E: the event belongs to no object
//   3      the partition (high nibble), InfoC (low nibble)
//   4      InfoA (bits 4 to 6), InfoD (low nibble)
//   5, 6   the object number, high byte first
//   7      0: byte 3 gives the partition; otherwise byte 4 gives InfoA
//   8      Flags, with the code format
//   9..12  hex code format:     code, Extra1, Extra2 (or the zone less one), zone
//          numeric code format: event number (bits 0 and 1 of byte 9, byte 10), zone, partition
class MessageInterpreter::Report {
 public:
  enum class CodeFormat { kHex, kNumeric, kNone };
  // What bytes 10 and 11 hold in the hex code format.
  enum class HexExtras { kNothing, kExtraBytes, kZone };

  explicit Report(const FrameBytes& bytes) : d_(bytes) {}

  uint8_t InfoE() const { return d_[1]; }
  uint8_t InfoB() const { return d_[2]; }
  bool WithoutObject() const { return InfoB() == kInfoBWithoutObject; }
  uint8_t Partition() const { return d_[3] >> 4; }
  uint8_t InfoC() const { return d_[3] & kLowNibble; }
  uint8_t InfoA() const { return (d_[4] & kInfoABits) >> 4; }
  uint8_t InfoD() const { return d_[4] & kLowNibble; }
  int32_t ObjectNumber() const { return d_[5] * 256 + d_[6]; }
  bool InfoAInsteadOfPartition() const { return d_[7] != 0; }
  uint8_t Flags() const { return d_[8]; }

  CodeFormat Format() const {
    switch (Flags() >> kCodeFormatShift) {
      case 0:
        return CodeFormat::kHex;
      case 1:
        return CodeFormat::kNumeric;
      default:
        return CodeFormat::kNone;
    }
  }

  uint8_t HexCode() const { return d_[9]; }
  HexExtras Extras() const {
    if ((Flags() & kExtraBytesFlag) == 0) return HexExtras::kNothing;
    return (Flags() & kZoneInExtraFlag) != 0 ? HexExtras::kZone : HexExtras::kExtraBytes;
  }
  uint8_t Extra1() const { return d_[10]; }
  uint8_t Extra2() const { return d_[11]; }
  uint8_t HexZone() const { return d_[12]; }

  unsigned EventNumber() const { return (d_[9] & kEventNumberHighBits) * 256u + d_[10]; }
  bool QualifierOne() const { return (Flags() & kQualifierOneFlag) != 0; }
  uint8_t NumericZone() const { return d_[11]; }
  uint8_t NumericPartition() const { return d_[12]; }

 private:
  const FrameBytes& d_;
};

// One sub-block of a block message, by its head's highest set bit of bits 7 to 4:
//   list    1 . z n n n n n   n items follow: zones (z) or extra bytes
//   zone    0 1 z z z z z z   zone z + 1
//   object  0 0 1 . e c c c   two bytes follow: the object number less one, 12 bits high first;
//                             InfoE e (kept in place), InfoC c
//   code    0 0 0 1 . . . .   one byte follows: the event code in hex
// A head of 0 ends the sub-blocks, and so does the end of the frame.
class MessageInterpreter::SubBlock {
 public:
  enum class Kind { kZoneList, kExtraBytes, kZone, kObject, kCode, kUndefined };

  SubBlock(const FrameBytes& message, std::size_t at) : message_(&message), at_(at) {}

  bool EndsScan() const {
    // Heads 0x01..0x0F carry no length, so nothing after them can be read reliably. The scan
    // ends there as at a terminator, and the fields gathered so far still go out: the alarm
    // the message carries is not dropped for a byte that cannot be understood.
    return at_ >= message_->size() || Head() == kEndOfSubBlocks || KindOf() == Kind::kUndefined;
  }
  SubBlock Next() const { return SubBlock(*message_, at_ + Length()); }

  Kind KindOf() const {
    const uint8_t head = Head();
    if ((head & kListHead) != 0) {
      return (head & kZoneListFlag) != 0 ? Kind::kZoneList : Kind::kExtraBytes;
    }
    if ((head & kZoneHead) != 0) return Kind::kZone;
    if ((head & kObjectHead) != 0) return Kind::kObject;
    if ((head & kCodeHead) != 0) return Kind::kCode;
    return Kind::kUndefined;
  }

  // List: the items, numbered from 1.
  std::size_t ItemCount() const { return Head() & kListLengthBits; }
  uint8_t Item(std::size_t number) const { return After(number); }

  uint8_t Zone() const { return static_cast<uint8_t>((Head() & kZoneBits) + 1); }

  uint8_t InfoC() const { return Head() & kObjectInfoCBits; }
  uint8_t InfoE() const { return Head() & kObjectInfoEBit; }
  int32_t ObjectNumber() const { return (After(1) & kObjectHighBits) * 256 + After(2) + 1; }

  uint8_t Code() const { return After(1); }

 private:
  uint8_t Head() const { return (*message_)[at_]; }
  uint8_t After(std::size_t offset) const { return (*message_)[at_ + offset]; }

  std::size_t Length() const {
    switch (KindOf()) {
      case Kind::kZoneList:
      case Kind::kExtraBytes:
        return 1 + ItemCount();
      case Kind::kObject:
        return 3;
      case Kind::kCode:
        return 2;
      case Kind::kZone:
      case Kind::kUndefined:
        return 1;
    }
    return 1;
  }

  const FrameBytes* message_;
  std::size_t at_;
};

MessageInterpreter::MessageInterpreter(IClock& clock, EventEmitter& emitter)
    : clock_(clock), emitter_(emitter) {}

bool MessageInterpreter::HandleFrame(std::span<const uint8_t> decoded) {
  const FrameBytes message(decoded);
  switch (message[0]) {
    case kReportMessage:
      ReportMessage(Report(message));
      break;
    case kBlockMessage:
      BlockMessage(message);
      break;
    default:
      break;  // other kinds are answered and logged by the decoder, not interpreted
  }
  // All records of the frame at once: they are stored before the station hears of the frame.
  return emitter_.Flush();
}

void MessageInterpreter::ReportMessage(const Report& report) {
  EventRecord& r = current_;
  r.EventTime = clock_.Now();
  r.ObjectNumber = report.WithoutObject() ? 0 : report.ObjectNumber();
  r.Flags = report.Flags();
  r.InfoE = report.InfoE();
  r.InfoB = report.InfoB();
  // A non-zero InfoD also stands in InfoC, and InfoA counts only beside one.
  r.InfoD = report.InfoD();
  r.InfoC = r.InfoD != 0 ? r.InfoD : report.InfoC();
  const bool infoA = report.InfoAInsteadOfPartition();
  r.InfoA = infoA && r.InfoD != 0 ? report.InfoA() : 0;
  r.Partition = infoA ? 0 : report.Partition();

  switch (report.Format()) {
    case Report::CodeFormat::kHex:
      HexCodeFormat(report);
      break;
    case Report::CodeFormat::kNumeric:
      NumericCodeFormat(report);
      break;
    case Report::CodeFormat::kNone:
      break;  // code, zone and extra bytes stay as the last message left them
  }
  EmitEventRecord();
}

void MessageInterpreter::HexCodeFormat(const Report& report) {
  EventRecord& r = current_;
  r.SetEventCode(TwoHexDigits(report.HexCode()));
  r.Zone = report.HexZone();
  r.Extra1 = 0;
  r.Extra2 = 0;
  switch (report.Extras()) {
    case Report::HexExtras::kNothing:
      break;
    case Report::HexExtras::kExtraBytes:
      r.Extra1 = report.Extra1();
      r.Extra2 = report.Extra2();
      break;
    case Report::HexExtras::kZone:
      r.Zone = static_cast<uint8_t>(report.Extra2() + 1);
      break;
  }
  if (IsOneOf(LowerCase(r.EventCode()), kCodesWithExtra1FromByte11)) r.Extra1 = report.Extra2();
}

void MessageInterpreter::NumericCodeFormat(const Report& report) {
  EventRecord& r = current_;
  r.SetEventCode(NumericEventCode(report.EventNumber(), report.QualifierOne()));
  r.Zone = report.NumericZone();
  r.Partition = report.NumericPartition();
}

void MessageInterpreter::BlockMessage(const FrameBytes& message) {
  bool zoneListEmitted = false;
  for (SubBlock block(message, 1); !block.EndsScan(); block = block.Next()) {
    switch (block.KindOf()) {
      case SubBlock::Kind::kZoneList:
        zoneListEmitted = ZoneListSubBlock(block) || zoneListEmitted;
        break;
      case SubBlock::Kind::kExtraBytes:
        ExtraBytesSubBlock(block);
        break;
      case SubBlock::Kind::kZone:
        ZoneSubBlock(block);
        break;
      case SubBlock::Kind::kObject:
        ObjectSubBlock(block);
        break;
      case SubBlock::Kind::kCode:
        CodeSubBlock(block);
        break;
      case SubBlock::Kind::kUndefined:
        break;  // ends the scan before it comes here
    }
  }
  // A zone list's records stand for the whole message.
  if (zoneListEmitted) return;
  if (current_.EventCode() == kZoneMaskCode) {
    ZoneMaskEmission();
  } else {
    EmitEventRecord();
  }
}

bool MessageInterpreter::ZoneListSubBlock(const SubBlock& block) {
  for (std::size_t number = 1; number <= block.ItemCount(); ++number) {
    current_.Flags = kFlagsZoneList;
    current_.Zone = static_cast<uint8_t>(block.Item(number) + 1);
    EmitEventRecord();
  }
  return block.ItemCount() > 0;
}

// Items past the second are not stored.
void MessageInterpreter::ExtraBytesSubBlock(const SubBlock& block) {
  const std::size_t count = block.ItemCount();
  if (count == 0) return;
  current_.Extra1 = block.Item(1);
  if (count == 1) {
    current_.Flags = kFlagsOneExtraByte;
    return;
  }
  current_.Extra2 = block.Item(2);
  current_.Flags = kFlagsTwoExtraBytes;
}

void MessageInterpreter::ZoneSubBlock(const SubBlock& block) {
  if (IsOneOf(current_.EventCode(), kCodesWithZoneSubBlock)) current_.Zone = block.Zone();
}

void MessageInterpreter::ObjectSubBlock(const SubBlock& block) {
  current_.InfoC = block.InfoC();
  current_.InfoE = block.InfoE();
  current_.ObjectNumber = block.ObjectNumber();
}

void MessageInterpreter::CodeSubBlock(const SubBlock& block) {
  current_.SetEventCode(TwoHexDigits(block.Code()));
}

// Extra1 holds zones 9..16 and Extra2 zones 1..8, bit 0 first; the higher zones go out first.
void MessageInterpreter::ZoneMaskEmission() {
  const uint8_t upperZones = current_.Extra1;
  const uint8_t lowerZones = current_.Extra2;
  EmitZonesOf(upperZones, 9);
  EmitZonesOf(lowerZones, 1);
}

void MessageInterpreter::EmitZonesOf(uint8_t mask, uint8_t firstZone) {
  for (int bit = 0; bit < 8; ++bit) {
    if (((mask >> bit) & 1) == 0) continue;
    current_.Zone = static_cast<uint8_t>(firstZone + bit);
    EmitEventRecord();
  }
}

void MessageInterpreter::EmitEventRecord() {
  emitter_.EmitEventRecord(current_);
}

}  // namespace drv
