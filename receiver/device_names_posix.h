#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace drv {

// The device path of a port name "\\.\COMn" (the prefix is backslash, backslash, dot, backslash):
// the value of key "COMn" of the settings' "Devices" section when `lookupDevicesKey` finds one,
// else /dev/ttyS(n-1). Empty when the name is not of that form (no prefix, COM0, no number).
std::string DevicePathForPortName(
    std::string_view portName,
    const std::function<std::optional<std::string>(const std::string& key)>& lookupDevicesKey);

}  // namespace drv
