#include "base/tdatetime.h"

#include <windows.h>

#include <cstdio>
#include <iterator>

#include "base/win_text.h"

namespace drv {
namespace {

// The user's short date format and long time format (Control Panel, Region).
std::string Format(TDateTime value, bool midnightAsDateOnly) {
  const CivilTime civil = DecodeDateTime(value);
  SYSTEMTIME time{};
  time.wYear = static_cast<WORD>(civil.year);
  time.wMonth = static_cast<WORD>(civil.month);
  time.wDay = static_cast<WORD>(civil.day);
  time.wHour = static_cast<WORD>(civil.hour);
  time.wMinute = static_cast<WORD>(civil.minute);
  time.wSecond = static_cast<WORD>(civil.second);
  time.wMilliseconds = static_cast<WORD>(civil.millisecond);
  const bool midnight = civil.hour == 0 && civil.minute == 0 && civil.second == 0;
  const bool withTime = !(midnight && midnightAsDateOnly);

  wchar_t dateText[128];
  wchar_t timeText[128];
  const int dateLength = GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &time, nullptr,
                                        dateText, static_cast<int>(std::size(dateText)));
  const int timeLength = withTime ? GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &time, nullptr, timeText,
                                                   static_cast<int>(std::size(timeText)))
                                  : 1;
  if (dateLength <= 0 || timeLength <= 0) {
    // Dates before 1601 have no system form; a damaged value must still print.
    char text[64];
    std::snprintf(text, sizeof text, withTime ? "%04d-%02d-%02d %02d:%02d:%02d" : "%04d-%02d-%02d",
                  civil.year, civil.month, civil.day, civil.hour, civil.minute, civil.second);
    return text;
  }
  // The lengths count the terminating zero.
  std::string text =
      WideToUtf8(std::wstring_view(dateText, static_cast<std::size_t>(dateLength) - 1));
  if (withTime) {
    text += ' ';
    text += WideToUtf8(std::wstring_view(timeText, static_cast<std::size_t>(timeLength) - 1));
  }
  return text;
}

}  // namespace

std::string FormatDateTime(TDateTime value) {
  return Format(value, false);
}

std::string FormatDateTimeOmittingMidnight(TDateTime value) {
  return Format(value, true);
}

}  // namespace drv
