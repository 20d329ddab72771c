#include "receiver/device_names_posix.h"

#include <cctype>

namespace drv {

namespace {

constexpr std::string_view kDevicePrefix = "\\\\.\\";
// Port numbers beyond this are not serial ports of any machine; the limit also keeps n - 1 exact.
constexpr std::size_t kMaxPortDigits = 6;

bool EqualsIgnoringCase(std::string_view text, std::string_view upper) {
  if (text.size() != upper.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) != upper[i]) return false;
  }
  return true;
}

}  // namespace

std::string DevicePathForPortName(
    std::string_view portName,
    const std::function<std::optional<std::string>(const std::string& key)>& lookupDevicesKey) {
  if (!portName.starts_with(kDevicePrefix)) return {};
  const std::string_view device = portName.substr(kDevicePrefix.size());
  if (device.size() < 4 || !EqualsIgnoringCase(device.substr(0, 3), "COM")) return {};
  const std::string_view digits = device.substr(3);
  if (digits.size() > kMaxPortDigits || digits.front() == '0') return {};
  unsigned long number = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return {};
    number = number * 10 + static_cast<unsigned long>(c - '0');
  }

  const std::string key = "COM" + std::string(digits);
  if (lookupDevicesKey) {
    if (std::optional<std::string> path = lookupDevicesKey(key); path && !path->empty()) {
      return *path;
    }
  }
  return "/dev/ttyS" + std::to_string(number - 1);
}

}  // namespace drv
