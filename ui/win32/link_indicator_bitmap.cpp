#include "ui/win32/link_indicator_bitmap.h"

namespace drv::win32 {

std::array<uint32_t, kIndicatorSize * kIndicatorSize> IndicatorBits(const IndicatorPixels& pixels) {
  std::array<uint32_t, kIndicatorSize * kIndicatorSize> bits{};
  for (int y = 0; y < kIndicatorSize; ++y) {
    for (int x = 0; x < kIndicatorSize; ++x) {
      const Rgb pixel = pixels.At(x, y);
      bits[static_cast<std::size_t>(y * kIndicatorSize + x)] =
          (uint32_t{pixel.r} << 16) | (uint32_t{pixel.g} << 8) | uint32_t{pixel.b};
    }
  }
  return bits;
}

void DrawIndicator(HDC dc, int x, int y, const IndicatorPixels& pixels) {
  const auto bits = IndicatorBits(pixels);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = kIndicatorSize;
  info.bmiHeader.biHeight = -kIndicatorSize;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  SetDIBitsToDevice(dc, x, y, kIndicatorSize, kIndicatorSize, 0, 0, 0, kIndicatorSize, bits.data(),
                    &info, DIB_RGB_COLORS);
}

}  // namespace drv::win32
