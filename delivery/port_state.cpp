#include "delivery/port_state.h"

#include <algorithm>

#include "base/cp1251.h"

namespace drv {

std::array<uint8_t, 8> PortStatePayload(std::string_view portName, bool portOpen) {
  std::array<uint8_t, 8> payload{};
  // One byte per character, as every text the driver sends.
  const std::string name = Utf8ToCp1251(portName);
  const std::size_t length = std::min<std::size_t>(name.size(), 6);
  payload[0] = static_cast<uint8_t>(length);
  std::copy_n(name.begin(), length, payload.begin() + 1);
  payload[7] = portOpen ? 1 : 0;
  return payload;
}

}  // namespace drv
