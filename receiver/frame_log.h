#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "base/tdatetime.h"

namespace drv {

// "<dir>\log\drvtirvalYYYYMMDD.log" for the local date of `now` (with "/" on POSIX systems).
std::string FrameLogPath(const std::string& startDirectory, TDateTime now);

// One line of the frame log in UTF-8, CR LF included: date and time, " - ", the spaced hex of
// the decoded bytes, " Номер - " and the object number d[5] * 256 + d[6] (0 where missing).
std::string FrameLogLine(TDateTime now, std::span<const uint8_t> decoded);

// The daily frame log below the start directory. The "log" directory is never created here:
// without it nothing is written.
class FrameLog {
 public:
  explicit FrameLog(std::string startDirectory);

  // Appends one line in Windows-1251, opening and closing the file each time. Every failure
  // is swallowed: the frame goes on to the display and the interpretation regardless.
  void WriteLine(TDateTime now, std::span<const uint8_t> decoded) noexcept;

 private:
  std::string startDirectory_;
};

}  // namespace drv
