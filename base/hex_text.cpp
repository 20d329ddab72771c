#include "base/hex_text.h"

namespace drv {
namespace {

void AppendHexByte(std::string& text, uint8_t value) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  text += kHexDigits[value >> 4];
  text += kHexDigits[value & 0x0F];
}

}  // namespace

std::string CompactHex(std::span<const uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const uint8_t b : bytes) AppendHexByte(text, b);
  return text;
}

std::string SpacedHex(std::span<const uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 3);
  for (const uint8_t b : bytes) {
    AppendHexByte(text, b);
    text += ' ';
  }
  return text;
}

std::string BlankSeparatedHex(std::span<const uint8_t> bytes) {
  std::string text = SpacedHex(bytes);
  if (!text.empty()) text.pop_back();
  return text;
}

}  // namespace drv
