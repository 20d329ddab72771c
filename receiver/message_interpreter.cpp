#include "receiver/message_interpreter.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>
#include <string_view>

namespace drv {

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

namespace {

std::string TwoHexDigits(uint8_t value) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[value >> 4], kDigits[value & 0x0F]};
}

std::string LowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool IsOneOf(const std::string& text, std::initializer_list<std::string_view> candidates) {
  return std::find(candidates.begin(), candidates.end(), text) != candidates.end();
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

MessageInterpreter::MessageInterpreter(IClock& clock, EventEmitter& emitter)
    : clock_(clock), emitter_(emitter) {}

bool MessageInterpreter::HandleFrame(std::span<const uint8_t> decoded) {
  const FrameBytes d(decoded);
  switch (d[0]) {
    case kReportMessage:
      ReportMessage(d);
      break;
    case kBlockMessage:
      BlockMessage(d);
      break;
    default:
      break;  // other kinds are answered and logged by the decoder, not interpreted
  }
  // All records of the frame at once: they are stored before the station hears of the frame.
  return emitter_.Flush();
}

void MessageInterpreter::ReportMessage(const FrameBytes& d) {
  EventRecord& r = current_;
  r.EventTime = clock_.Now();
  r.ObjectNumber = d[5] * 256 + d[6];
  r.Flags = d[8];
  r.InfoE = d[1];
  r.InfoB = d[2];
  if (d[2] == 0x7E) r.ObjectNumber = 0;
  r.InfoC = d[3] & 0x0F;
  if (d[7] == 0) {
    r.Partition = d[3] >> 4;
    r.InfoA = 0;
  } else {
    r.Partition = 0;
    r.InfoA = (d[4] & 0x70) >> 4;
  }
  if ((d[4] & 0x0F) == 0) {
    r.InfoA = 0;
    r.InfoD = 0;
  } else {
    r.InfoD = d[4] & 0x0F;
    r.InfoC = d[4] & 0x0F;
  }

  const uint8_t flags = d[8];
  switch (flags >> 5) {
    case 0: {  // hex code
      r.SetEventCode(TwoHexDigits(d[9]));
      r.Zone = d[12];
      if ((flags & 0x08) != 0) {
        if ((flags & 0x04) != 0) {
          r.Extra1 = 0;
          r.Extra2 = 0;
          r.Zone = static_cast<uint8_t>(d[11] + 1);
        } else {
          r.Extra1 = d[10];
          r.Extra2 = d[11];
        }
      } else {
        r.Extra1 = 0;
        r.Extra2 = 0;
      }
      if (IsOneOf(LowerCase(r.EventCode()), {"7e", "3d", "3e", "3f"})) r.Extra1 = d[11];
      break;
    }
    case 1: {  // numeric code
      const unsigned eventNumber = (d[9] & 0x03u) * 256u + d[10];
      r.SetEventCode(NumericEventCode(eventNumber, (flags & 0x10) != 0));
      r.Zone = d[11];
      r.Partition = d[12];
      break;
    }
    default:  // no code: code, zone and extra bytes stay as the last message left them
      break;
  }
  EmitEventRecord();
}

void MessageInterpreter::BlockMessage(const FrameBytes& d) {
  EventRecord& r = current_;
  bool finalEmission = true;
  std::size_t p = 1;
  while (p < d.size() && d[p] != 0) {
    const uint8_t head = d[p];
    if ((head & 0x80) != 0) {  // list
      const std::size_t k = head & 0x1F;
      if ((head & 0x20) != 0) {  // zone list: one record per zone
        for (std::size_t i = 1; i <= k; ++i) {
          r.Flags = 0;
          r.Zone = static_cast<uint8_t>(d[p + i] + 1);
          EmitEventRecord();
          finalEmission = false;
        }
      } else {  // extra bytes
        for (std::size_t i = 1; i <= k; ++i) {
          r.Flags = 10;
          if (i == 1) r.Extra1 = d[p + i];
          if (i == 2) r.Extra2 = d[p + i];
        }
        if (k == 1) r.Flags = 8;
      }
      p += k + 1;
    } else if ((head & 0x40) != 0) {  // zone
      if (IsOneOf(r.EventCode(), {"06", "07", "40", "05", "54"})) {
        r.Zone = static_cast<uint8_t>((head & 0x3F) + 1);
      }
      p += 1;
    } else if ((head & 0x20) != 0) {  // object
      r.InfoC = head & 0x07;
      r.InfoE = head & 0x08;
      r.ObjectNumber = (d[p + 1] & 0x0F) * 256 + d[p + 2] + 1;
      p += 3;
    } else if ((head & 0x10) != 0) {  // code
      r.SetEventCode(TwoHexDigits(d[p + 1]));
      p += 2;
    } else {
      // Heads 0x01..0x0F carry no length, so nothing after them can be read reliably. The scan
      // ends here as at a terminator, and the fields gathered so far still go out below: the
      // alarm this message carries is not dropped for a byte that cannot be understood.
      break;
    }
  }
  if (!finalEmission) return;

  if (r.EventCode() == "64") {
    // Zone masks: Extra1 holds zones 9..16, Extra2 zones 1..8, bit 0 first.
    const uint8_t upperMask = r.Extra1;
    const uint8_t lowerMask = r.Extra2;
    for (int bit = 0; bit < 8; ++bit) {
      if ((upperMask >> bit) & 1) {
        r.Zone = static_cast<uint8_t>(bit + 9);
        EmitEventRecord();
      }
    }
    for (int bit = 0; bit < 8; ++bit) {
      if ((lowerMask >> bit) & 1) {
        r.Zone = static_cast<uint8_t>(bit + 1);
        EmitEventRecord();
      }
    }
  } else {
    EmitEventRecord();
  }
}

void MessageInterpreter::EmitEventRecord() {
  emitter_.EmitEventRecord(current_);
}

}  // namespace drv
