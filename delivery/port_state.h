#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace drv {

// Payload of MsgPortState: name length (at most 6), the name's first 6 characters zero-padded,
// then 1 when the port is open.
std::array<uint8_t, 8> PortStatePayload(std::string_view portName, bool portOpen);

}  // namespace drv
