#include "ui/link_indicator.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace drv {
namespace {

// The frame of the indicator, independent of the bar: rows 2-3 and 14-15 across, columns 0 and 15
// between them.
bool IsFrame(int x, int y) {
  const bool frameRow = y == 2 || y == 3 || y == 14 || y == 15;
  const bool frameColumn = (x == 0 || x == 15) && y >= 2 && y <= 15;
  return frameRow || frameColumn;
}

// Renders the picture as text, one character per pixel: '.' white, 'G' green, 'R' red.
std::string Picture(const IndicatorPixels& pixels) {
  std::string text;
  for (int y = 0; y < kIndicatorSize; ++y) {
    for (int x = 0; x < kIndicatorSize; ++x) {
      const Rgb colour = pixels.At(x, y);
      text += colour == kIndicatorBackground ? '.'
              : colour == kLinkUpColour      ? 'G'
              : colour == kLinkDownColour    ? 'R'
                                             : '?';
    }
    text += '\n';
  }
  return text;
}

TEST(LinkIndicatorTest, LinkDownAtPositionZeroIsTheWholePicture) {
  EXPECT_EQ(Picture(DrawLinkIndicator(false, 0)),
            "................\n"
            "................\n"
            "RRRRRRRRRRRRRRRR\n"
            "RRRRRRRRRRRRRRRR\n"
            "R..............R\n"
            "RRRRR..........R\n"
            "RRRRR..........R\n"
            "RRRRR..........R\n"
            "RRRRR..........R\n"
            "RRRRR..........R\n"
            "RRRRR..........R\n"
            "RRRRR..........R\n"
            "R..............R\n"
            "R..............R\n"
            "RRRRRRRRRRRRRRRR\n"
            "RRRRRRRRRRRRRRRR\n");
}

struct BarCase {
  int position;
  std::set<int> columns;  // bar columns inside the square
};

class LinkIndicatorBarTest : public ::testing::TestWithParam<BarCase> {};

TEST_P(LinkIndicatorBarTest, BarCoversItsColumnsOnRowsFiveToElevenOnly) {
  const BarCase& c = GetParam();
  for (const bool linkUp : {true, false}) {
    SCOPED_TRACE(linkUp ? "up" : "down");
    const IndicatorPixels pixels = DrawLinkIndicator(linkUp, c.position);
    const Rgb colour = linkUp ? kLinkUpColour : kLinkDownColour;
    for (int y = 0; y < kIndicatorSize; ++y) {
      for (int x = 0; x < kIndicatorSize; ++x) {
        const bool bar = c.columns.count(x) > 0 && y >= 5 && y <= 11;
        const Rgb expected = bar || IsFrame(x, y) ? colour : kIndicatorBackground;
        ASSERT_EQ(pixels.At(x, y), expected) << "x=" << x << " y=" << y;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Positions, LinkIndicatorBarTest,
    ::testing::Values(BarCase{0, {0, 1, 2, 3, 4}}, BarCase{5, {5, 6, 7, 8, 9}},
                      // Column 16 is outside the square.
                      BarCase{12, {12, 13, 14, 15}}, BarCase{13, {13, 14, 15, 1}},
                      BarCase{14, {14, 15, 1, 2}}, BarCase{16, {1, 2, 3, 4}},
                      // Positions the driver never uses draw only what falls inside.
                      BarCase{17, {1, 2, 3, 4, 5}}, BarCase{-3, {0, 1}}, BarCase{40, {}}));

}  // namespace
}  // namespace drv
