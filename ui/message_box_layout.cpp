#include "ui/message_box_layout.h"

namespace drv {
namespace {

constexpr int kFontPoints = 12;
constexpr int kPixelsPerCharacter = kFontPoints - 2;
constexpr int kHeight = 73;
constexpr int kTextLeft = 2;
constexpr int kTextTop = 16;
// One line of the 12 point bold text, 16 pixels high, with room for its descenders.
constexpr int kTextHeight = 22;
constexpr int kButtonTop = 41;
constexpr int kButtonWidth = 72;
constexpr int kButtonHeight = 25;

}  // namespace

MessageBoxGeometry MessageBoxLayout(int characterCount) {
  MessageBoxGeometry geometry;
  const int width = characterCount * kPixelsPerCharacter;
  geometry.width = width;
  geometry.height = kHeight;
  geometry.textLeft = kTextLeft;
  geometry.textTop = kTextTop;
  geometry.textWidth = width;
  geometry.textHeight = kTextHeight;
  // C++ division truncates toward zero, as the layout wants for negative values too.
  geometry.buttonLeft = (width - kButtonWidth) / 2;
  geometry.buttonTop = kButtonTop;
  geometry.buttonWidth = kButtonWidth;
  geometry.buttonHeight = kButtonHeight;
  return geometry;
}

int CharacterCount(std::string_view utf8) {
  int count = 0;
  // Every byte but a continuation byte (10xxxxxx) starts a character.
  for (const char byte : utf8) {
    if ((static_cast<unsigned char>(byte) & 0xC0) != 0x80) ++count;
  }
  return count;
}

}  // namespace drv
