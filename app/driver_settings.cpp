#include "app/driver_settings.h"

#include "base/file_io.h"
#include "base/paths.h"
#include "base/profile_file.h"

namespace drv {
namespace {

constexpr char kMain[] = "main";

// Scans a time the way the system's time conversion does: blanks may stand between the parts,
// numbers stop growing at 1000, and the whole text must be used.
class TimeScanner {
 public:
  explicit TimeScanner(std::string_view text) : text_(text) {}

  void SkipBlanks() {
    while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
  }
  bool Char(char c) {
    SkipBlanks();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool Marker(std::string_view marker) {
    SkipBlanks();
    if (text_.size() - pos_ < marker.size()) return false;
    for (std::size_t i = 0; i < marker.size(); ++i) {
      char c = text_[pos_ + i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (c != marker[i]) return false;
    }
    pos_ += marker.size();
    return true;
  }
  bool Number(int& number) {
    SkipBlanks();
    std::size_t end = pos_;
    int value = 0;
    while (end < text_.size() && text_[end] >= '0' && text_[end] <= '9' && value < 1000) {
      value = value * 10 + (text_[end] - '0');
      ++end;
    }
    if (end == pos_) return false;
    pos_ = end;
    number = value;
    return true;
  }
  bool AtEnd() const { return pos_ == text_.size(); }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

std::string SettingsPath(const std::string& directory) {
  return JoinPath(directory, kSettingsFileName);
}

StartupTexts ReadDriverSettings(const std::string& settingsPath, DriverSettings& settings) {
  StartupTexts texts;
  try {
    const ProfileFile profile = ProfileFile::LoadOrEmpty(settingsPath);
    // In the order start-up has always read them; the keys nothing uses are left out.
    settings.ComPort = profile.ReadString(kMain, "ComPort", kNoComPort);
    texts.baudRate = profile.ReadString(kMain, "BaudRate", "9600");
    settings.FirstNumber = profile.ReadInteger(kMain, "FirstNumber", 4);
    settings.PathForSoob = profile.ReadString(kMain, "PathForSoob", "");
    texts.caption = profile.ReadString(kMain, "caption", "");
    const std::string attention = profile.ReadString(kMain, "Attention", "00:01:00");
    settings.Attention = StrToTime(attention).value_or(kOneMinute);
    settings.Log = profile.ReadBool(kMain, "Log", false);
    settings.SendTorven7 = profile.ReadBool(kMain, "SendTorven7", false);
    settings.SendTorven8 = profile.ReadBool(kMain, "SendTorven8", true);
  } catch (...) {
    // Only memory exhaustion can get here; what was read so far stands, the rest keeps defaults.
  }
  return texts;
}

SettingsWriteError::SettingsWriteError(const std::string& path)
    : std::runtime_error("Unable to write to " + path) {}

void SaveComPort(const std::string& settingsPath, const std::string& portName) {
  try {
    ProfileFile profile = ProfileFile::Load(settingsPath);
    profile.WriteString(kMain, "ComPort", portName);
    ReplaceFileAtomically(settingsPath, profile.Bytes());
  } catch (const std::exception&) {
    throw SettingsWriteError(settingsPath);
  }
}

HealthSettings ReadHealthSettings(const std::string& settingsPath) {
  HealthSettings health;
  try {
    const ProfileFile profile = ProfileFile::LoadOrEmpty(settingsPath);
    health.file = profile.ReadString("Health", "File", "");
    const int32_t seconds = profile.ReadInteger("Health", "Interval", 5);
    if (seconds >= kMinHealthIntervalSeconds && seconds <= kMaxHealthIntervalSeconds) {
      health.intervalMs = static_cast<uint32_t>(seconds) * 1000u;
    }
    health.driverName = profile.ReadString("Health", "Name", "");
  } catch (...) {
    // Memory exhaustion only; the defaults stand.
  }
  return health;
}

ServerEndpoint ReadServerEndpoint(const std::string& settingsPath) {
  ServerEndpoint endpoint;
  try {
    const ProfileFile profile = ProfileFile::LoadOrEmpty(settingsPath);
    endpoint.address = profile.ReadString("ServerHost", "Address", endpoint.address);
    endpoint.port = profile.ReadInteger("ServerHost", "Port", endpoint.port);
  } catch (...) {
    // Memory exhaustion only; the defaults stand.
  }
  return endpoint;
}

std::optional<TBaudRate> BaudRateFromText(std::string_view text) {
  for (int rate = br110; rate <= br256000; ++rate) {
    const auto baudRate = static_cast<TBaudRate>(rate);
    if (text == std::to_string(BaudRateBitsPerSecond(baudRate))) return baudRate;
  }
  return std::nullopt;
}

std::optional<TDateTime> StrToTime(std::string_view text) {
  TimeScanner scan(text);
  int baseHour = -1;
  if (scan.Marker("AM")) {
    baseHour = 0;
  } else if (scan.Marker("PM")) {
    baseHour = 12;
  }
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  if (!scan.Number(hour)) return std::nullopt;
  if (scan.Char(':')) {
    if (!scan.Number(minute)) return std::nullopt;
    if (scan.Char(':')) {
      if (!scan.Number(second)) return std::nullopt;
      // The decimal separator is the workstation's: a point or a comma.
      if ((scan.Char('.') || scan.Char(',')) && !scan.Number(millisecond)) return std::nullopt;
    }
  }
  if (baseHour < 0) {
    if (scan.Marker("AM")) {
      baseHour = 0;
    } else if (scan.Marker("PM")) {
      baseHour = 12;
    }
  }
  if (baseHour >= 0) {
    if (hour == 0 || hour > 12) return std::nullopt;
    hour = hour % 12 + baseHour;
  }
  scan.SkipBlanks();
  if (!scan.AtEnd()) return std::nullopt;
  if (hour > 23 || minute > 59 || second > 59 || millisecond > 999) return std::nullopt;
  const double milliseconds = ((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond;
  return milliseconds / 86400000.0;
}

std::optional<std::string> ReadDevicePath(const std::string& settingsPath,
                                          const std::string& portKey) {
  try {
    const ProfileFile profile = ProfileFile::LoadOrEmpty(settingsPath);
    std::string path = profile.ReadString("Devices", portKey, "");
    if (path.empty()) return std::nullopt;
    return path;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace drv
