#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace drv {

// Payload of MsgPortState: name length (at most 6), the first 6 characters of the (UTF-8) name
// in Windows-1251, zero-padded, then 1 when the port is open. A character without a Windows-1251
// form goes as '?'.
std::array<uint8_t, 8> PortStatePayload(std::string_view portName, bool portOpen);

}  // namespace drv
