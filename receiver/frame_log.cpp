#include "receiver/frame_log.h"

#include <cstdio>
#include <system_error>
#include <utility>

#include "base/cp1251.h"
#include "base/file_io.h"
#include "base/hex_text.h"
#include "base/paths.h"

namespace drv {
std::string FrameLogPath(const std::string& startDirectory, TDateTime now) {
  const CivilTime date = DecodeDateTime(now);
  char name[40];
  std::snprintf(name, sizeof name, "drvtirval%04d%02d%02d.log", date.year, date.month, date.day);
  return JoinPath(JoinPath(startDirectory, "log"), name);
}

std::string FrameLogLine(TDateTime now, std::span<const uint8_t> decoded) {
  const unsigned d5 = decoded.size() > 5 ? decoded[5] : 0;
  const unsigned d6 = decoded.size() > 6 ? decoded[6] : 0;
  // The spaced hex ends in a blank, so two blanks stand before the number's label.
  return FormatDateTimeOmittingMidnight(now) + " - " + SpacedHex(decoded) + " Номер - " +
         std::to_string(d5 * 256 + d6) + "\r\n";
}

FrameLog::FrameLog(std::string startDirectory) : startDirectory_(std::move(startDirectory)) {}

void FrameLog::WriteLine(TDateTime now, std::span<const uint8_t> decoded) noexcept {
  try {
    const std::string line = Utf8ToCp1251(FrameLogLine(now, decoded));
    const std::string path = FrameLogPath(startDirectory_, now);
    // The directory is never created: a missing "log" directory means logging is not wanted.
    std::error_code ignored;
    AppendToFile(path, line, AppendMode::kAsIs, ignored);
  } catch (...) {
    // A frame must never be held up by its log line.
  }
}

}  // namespace drv
