#pragma once

#include <string_view>

namespace drv {

// Where everything of the message box goes for a text of `characterCount` characters: 10 pixels
// per character for the window and the text line, the button centred below (its left edge may be
// negative for short texts; it is not moved into view), the height fixed. Client coordinates.
struct MessageBoxGeometry {
  int width = 0;
  int height = 0;
  int textLeft = 0;
  int textTop = 0;
  int textWidth = 0;
  int textHeight = 0;
  int buttonLeft = 0;
  int buttonTop = 0;
  int buttonWidth = 0;
  int buttonHeight = 0;
};

MessageBoxGeometry MessageBoxLayout(int characterCount);

// The characters of a UTF-8 text as the operator sees them: one per code point.
int CharacterCount(std::string_view utf8);

}  // namespace drv
