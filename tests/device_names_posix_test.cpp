#include "receiver/device_names_posix.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace drv {
namespace {

TEST(DeviceNamesTest, PortNamesMapToDevicePaths) {
  const std::map<std::string, std::string> devices = {
      {"COM12", "/dev/ttyUSB0"}, {"COM5", ""}, {"COM7", "/tmp/pty 7"}};
  struct Case {
    const char* portName;
    const char* expected;
  };
  const Case cases[] = {
      {"\\\\.\\COM1", "/dev/ttyS0"},
      {"\\\\.\\COM3", "/dev/ttyS2"},
      {"\\\\.\\COM256", "/dev/ttyS255"},
      {"\\\\.\\COM12", "/dev/ttyUSB0"},  // mapped in the settings
      {"\\\\.\\COM7", "/tmp/pty 7"},
      {"\\\\.\\COM5", "/dev/ttyS4"},  // an empty entry maps nothing
      {"\\\\.\\com3", "/dev/ttyS2"},  // device names ignore case
      {"", ""},
      {"COM3", ""},
      {"\\\\?\\COM3", ""},
      {"\\\\.\\", ""},
      {"\\\\.\\COM", ""},
      {"\\\\.\\COM0", ""},
      {"\\\\.\\COM03", ""},
      {"\\\\.\\COM-1", ""},
      {"\\\\.\\COM3 ", ""},
      {"\\\\.\\COM3x", ""},
      {"\\\\.\\LPT1", ""},
      {"\\\\.\\COM99999999999999999999", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.portName);
    EXPECT_EQ(DevicePathForPortName(c.portName,
                                    [&](const std::string& key) -> std::optional<std::string> {
                                      const auto it = devices.find(key);
                                      if (it == devices.end()) return std::nullopt;
                                      return it->second;
                                    }),
              c.expected);
  }
}

TEST(DeviceNamesTest, SettingsAreAskedForTheNormalisedKeyOnly) {
  std::vector<std::string> keys;
  const auto lookup = [&](const std::string& key) -> std::optional<std::string> {
    keys.push_back(key);
    return std::nullopt;
  };
  DevicePathForPortName("\\\\.\\com4", lookup);
  DevicePathForPortName("\\\\.\\COM0", lookup);
  DevicePathForPortName("COM4", lookup);
  EXPECT_EQ(keys, std::vector<std::string>{"COM4"});
  EXPECT_EQ(DevicePathForPortName("\\\\.\\COM2", nullptr), "/dev/ttyS1");
}

}  // namespace
}  // namespace drv
