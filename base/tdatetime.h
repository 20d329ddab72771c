#pragma once

#include <cstdint>
#include <string>

namespace drv {

// Local time as days since 30 December 1899 00:00; the fraction is the time of day.
using TDateTime = double;

inline constexpr TDateTime kOneMinute = 1.0 / 1440.0;
inline constexpr TDateTime kOneSecond = 1.0 / 86400.0;
inline constexpr TDateTime kOneMillisecond = 1.0 / 86400000.0;

struct CivilTime {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

TDateTime EncodeDateTime(const CivilTime& civil);

// Rounds to the nearest millisecond, as the broken-down clock reads it.
CivilTime DecodeDateTime(TDateTime value);

// The workstation's short date, a blank and its long time: the user's regional settings on
// Windows, LC_TIME of the process elsewhere. UTF-8, as every text of the driver.
std::string FormatDateTime(TDateTime value);

// As FormatDateTime, but the blank and the time are left out when hour, minute and second are
// all 0: the frame log's form.
std::string FormatDateTimeOmittingMidnight(TDateTime value);

}  // namespace drv
