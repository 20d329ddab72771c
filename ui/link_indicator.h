#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace drv {

struct Rgb {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;
  friend constexpr bool operator==(const Rgb&, const Rgb&) = default;
};

inline constexpr int kIndicatorSize = 16;
inline constexpr Rgb kIndicatorBackground{255, 255, 255};
inline constexpr Rgb kLinkUpColour{0, 128, 0};
inline constexpr Rgb kLinkDownColour{255, 0, 0};

// One 16 x 16 indicator picture, row by row from the top left corner.
class IndicatorPixels {
 public:
  Rgb At(int x, int y) const { return pixels_[Index(x, y)]; }
  void Set(int x, int y, Rgb colour) { pixels_[Index(x, y)] = colour; }
  friend bool operator==(const IndicatorPixels&, const IndicatorPixels&) = default;

 private:
  static std::size_t Index(int x, int y) {
    return static_cast<std::size_t>(y) * kIndicatorSize + static_cast<std::size_t>(x);
  }
  std::array<Rgb, kIndicatorSize * kIndicatorSize> pixels_{};
};

// A link indicator: white square, a frame in green (link up) or red (down), and a bar of five
// one-pixel columns starting at `barPosition` that wraps from past column 16 back to column 1.
//
// The frame is the outline of the rectangle (0,3)-(16,15) stroked with a 2-pixel pen centred on
// the outline: each edge covers the pixel on either side of its line, so the left edge covers
// columns -1 and 0, the right edge 15 and 16, the top edge rows 2 and 3, the bottom edge rows 14
// and 15. Clipped to the square, the frame is rows 2, 3, 14 and 15 across the whole width and
// columns 0 and 15 from row 2 to row 15. The bar columns run over rows 5 to 11; a column outside
// the square (16, or any column a position outside 0..16 would give) is not drawn.
IndicatorPixels DrawLinkIndicator(bool linkUp, int barPosition);

}  // namespace drv
