#include "ui/link_indicator.h"

namespace drv {
namespace {

constexpr int kFrameTop = 3;
constexpr int kFrameBottom = 15;
constexpr int kFrameLeft = 0;
constexpr int kFrameRight = 16;
constexpr int kBarTop = 5;
constexpr int kBarEnd = 12;  // the end point of each bar line is not drawn
constexpr int kBarWidth = 5;

bool Inside(int x, int y) {
  return x >= 0 && x < kIndicatorSize && y >= 0 && y < kIndicatorSize;
}

void FillRect(IndicatorPixels& pixels, int left, int top, int right, int bottom, Rgb colour) {
  for (int y = top; y < bottom; ++y) {
    for (int x = left; x < right; ++x) {
      if (Inside(x, y)) pixels.Set(x, y, colour);
    }
  }
}

}  // namespace

IndicatorPixels DrawLinkIndicator(bool linkUp, int barPosition) {
  IndicatorPixels pixels;
  FillRect(pixels, 0, 0, kIndicatorSize, kIndicatorSize, kIndicatorBackground);
  const Rgb colour = linkUp ? kLinkUpColour : kLinkDownColour;

  // Each edge of the 2-pixel outline covers one pixel either side of its line.
  FillRect(pixels, kFrameLeft - 1, kFrameTop - 1, kFrameRight + 1, kFrameTop + 1, colour);
  FillRect(pixels, kFrameLeft - 1, kFrameBottom - 1, kFrameRight + 1, kFrameBottom + 1, colour);
  FillRect(pixels, kFrameLeft - 1, kFrameTop - 1, kFrameLeft + 1, kFrameBottom + 1, colour);
  FillRect(pixels, kFrameRight - 1, kFrameTop - 1, kFrameRight + 1, kFrameBottom + 1, colour);

  for (int i = 0; i < kBarWidth; ++i) {
    int x = barPosition + i;
    if (x > kIndicatorSize) x -= kIndicatorSize;
    FillRect(pixels, x, kBarTop, x + 1, kBarEnd, colour);
  }
  return pixels;
}

}  // namespace drv
