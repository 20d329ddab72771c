#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/tdatetime.h"
#include "delivery/connection.h"
#include "receiver/serial_types.h"

namespace drv {

inline constexpr char kSettingsFileName[] = "drvtirval2000n.ini";
// The value of "ComPort" that means no port has been chosen (compared exactly).
inline constexpr char kNoComPort[] = "COM255";

// The settings file in `directory`; an empty directory gives the bare (relative) file name.
std::string SettingsPath(const std::string& directory);

// Section "main" as start-up reads it once; only ComPort changes afterwards.
struct DriverSettings {
  std::string ComPort = kNoComPort;
  int32_t FirstNumber = 4;
  std::string PathForSoob;
  TDateTime Attention = kOneMinute;
  bool Log = false;
  bool SendTorven7 = false;
  bool SendTorven8 = true;
};

// Texts that start-up applies once and does not keep.
struct StartupTexts {
  std::string caption;
  std::string baudRate = "9600";
};

// Fills `settings` from section "main"; every unreadable value keeps its default.
StartupTexts ReadDriverSettings(const std::string& settingsPath, DriverSettings& settings);

class SettingsWriteError : public std::runtime_error {
 public:
  explicit SettingsWriteError(const std::string& path);
};

// Writes key "ComPort" of section "main", creating the file and the section when missing. Every
// other byte of the file stays as it was; the file is replaced atomically, keeping its
// permissions. Throws SettingsWriteError on any failure, the file then being unchanged.
void SaveComPort(const std::string& settingsPath, const std::string& portName);

// Section "Health": the health file that an exporter's textfile collector reads. Read once at
// start-up; no file is written while "File" is empty.
struct HealthSettings {
  // Relative paths count from the working directory.
  std::string file;
  // "Interval", in seconds: how often the file is written besides every change of a link state.
  uint32_t intervalMs = 5000;
  // "Name": the value of the "driver" label that tells the drivers of one machine apart; empty
  // takes the name of the working directory.
  std::string driverName;
};
inline constexpr int32_t kMinHealthIntervalSeconds = 1;
inline constexpr int32_t kMaxHealthIntervalSeconds = 3600;

HealthSettings ReadHealthSettings(const std::string& settingsPath);

// Section "ServerHost"; read again before every connection attempt.
ServerEndpoint ReadServerEndpoint(const std::string& settingsPath);

// One of the fifteen rate texts, matched exactly; nullopt for any other text.
std::optional<TBaudRate> BaudRateFromText(std::string_view text);

// A time of day as a duration: hours, optionally ":" minutes, ":" seconds and milliseconds after
// "." or ",", with an optional AM/PM marker before or after (12-hour clock). nullopt when
// rejected.
std::optional<TDateTime> StrToTime(std::string_view text);

// The device path that key `portKey` (such as "COM3") of section "Devices" maps the port to;
// nullopt when the key is absent or empty.
std::optional<std::string> ReadDevicePath(const std::string& settingsPath,
                                          const std::string& portKey);

}  // namespace drv
