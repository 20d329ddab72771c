#pragma once

#include <windows.h>

#include <array>
#include <cstdint>

#include "ui/link_indicator.h"

namespace drv::win32 {

// The indicator's pixels as 32-bit values 0x00RRGGBB, rows from the top: the layout of a top-down
// 32-bit device-independent bitmap.
std::array<uint32_t, kIndicatorSize * kIndicatorSize> IndicatorBits(const IndicatorPixels& pixels);

// Draws the 16 x 16 indicator with its top left corner at (x, y).
void DrawIndicator(HDC dc, int x, int y, const IndicatorPixels& pixels);

}  // namespace drv::win32
