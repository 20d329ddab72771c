#include "delivery/port_state.h"

#include <algorithm>

namespace drv {

std::array<uint8_t, 8> PortStatePayload(std::string_view portName, bool portOpen) {
  std::array<uint8_t, 8> payload{};
  const std::size_t length = std::min<std::size_t>(portName.size(), 6);
  payload[0] = static_cast<uint8_t>(length);
  std::copy_n(portName.begin(), length, payload.begin() + 1);
  payload[7] = portOpen ? 1 : 0;
  return payload;
}

}  // namespace drv
