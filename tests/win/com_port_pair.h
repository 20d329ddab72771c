#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace drv::testing {

// Two COM ports joined like a null-modem cable, named by DRV_TEST_COM_PAIR as
// "\\.\COM41,\\.\COM42" (tests/win/com_port_pair.sh maps them to a pair of pseudo-terminals in
// the Wine prefix); nullopt when the test runs without them.
struct ComPortPair {
  std::string driverPort;
  std::string stationPort;
};

inline std::optional<ComPortPair> TestComPortPair() {
  const char* value = std::getenv("DRV_TEST_COM_PAIR");
  if (value == nullptr) return std::nullopt;
  const std::string text = value;
  const std::size_t comma = text.find(',');
  if (comma == std::string::npos) return std::nullopt;
  return ComPortPair{text.substr(0, comma), text.substr(comma + 1)};
}

}  // namespace drv::testing
