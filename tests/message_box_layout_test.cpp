#include "ui/message_box_layout.h"

#include <gtest/gtest.h>

namespace drv {
namespace {

struct SizeCase {
  const char* text;
  int characters;
  int width;
  int buttonLeft;
};

// The driver's own texts, a short one whose button sticks out to the left, and characters of
// one, two, three and four UTF-8 bytes.
const SizeCase kSizeCases[] = {
    {"Порт уже занят. Смените его.", 28, 280, 104},
    {"Не правильный пароль.", 21, 210, 69},
    {"Порт уже занят!", 15, 150, 39},
    {"Неправильный пароль. В доступе отказано", 39, 390, 159},
    {"Ошибка!", 7, 70, -1},
    {"", 0, 0, -36},
    {"a€𝄞я", 4, 40, -16},
};

TEST(MessageBoxLayoutTest, SizesTheBoxAtTenPixelsPerCharacter) {
  for (const SizeCase& c : kSizeCases) {
    SCOPED_TRACE(c.text);
    ASSERT_EQ(CharacterCount(c.text), c.characters);
    const MessageBoxGeometry g = MessageBoxLayout(c.characters);
    EXPECT_EQ(g.width, c.width);
    EXPECT_EQ(g.textWidth, c.width);
    EXPECT_EQ(g.buttonLeft, c.buttonLeft);
    // Everything else never changes.
    EXPECT_EQ(g.height, 73);
    EXPECT_EQ(g.textLeft, 2);
    EXPECT_EQ(g.textTop, 16);
    EXPECT_EQ(g.buttonTop, 41);
    EXPECT_EQ(g.buttonWidth, 72);
    EXPECT_EQ(g.buttonHeight, 25);
  }
}

}  // namespace
}  // namespace drv
