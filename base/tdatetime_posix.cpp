#include "base/tdatetime.h"

#include <ctime>

namespace drv {
namespace {

std::string Format(TDateTime value, bool midnightAsDateOnly) {
  const CivilTime civil = DecodeDateTime(value);
  std::tm tm{};
  tm.tm_year = civil.year - 1900;
  tm.tm_mon = civil.month - 1;
  tm.tm_mday = civil.day;
  tm.tm_hour = civil.hour;
  tm.tm_min = civil.minute;
  tm.tm_sec = civil.second;
  tm.tm_isdst = -1;
  const bool midnight = civil.hour == 0 && civil.minute == 0 && civil.second == 0;
  char text[128];
  const std::size_t length =
      std::strftime(text, sizeof text, midnight && midnightAsDateOnly ? "%x" : "%x %X", &tm);
  return std::string(text, length);
}

}  // namespace

std::string FormatDateTime(TDateTime value) {
  return Format(value, false);
}

std::string FormatDateTimeOmittingMidnight(TDateTime value) {
  return Format(value, true);
}

}  // namespace drv
