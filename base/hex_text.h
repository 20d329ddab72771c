#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace drv {

// Bytes as upper-case hex digits, two per byte:
// "1201D2" (a display line, an event record's bytes),
std::string CompactHex(std::span<const uint8_t> bytes);
// "12 01 D2 " with every byte followed by a blank (a frame log line),
std::string SpacedHex(std::span<const uint8_t> bytes);
// "12 01 D2" with a blank between bytes (the tools' reports).
std::string BlankSeparatedHex(std::span<const uint8_t> bytes);

}  // namespace drv
