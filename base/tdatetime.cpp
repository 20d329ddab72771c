#include "base/tdatetime.h"

#include <chrono>
#include <cmath>

namespace drv {
namespace {

using std::chrono::days;
using std::chrono::sys_days;

// 1899-12-30 is day 0 of TDateTime.
constexpr sys_days kEpoch = sys_days{std::chrono::year{1899} / 12 / 30};

}  // namespace

TDateTime EncodeDateTime(const CivilTime& civil) {
  const sys_days date{std::chrono::year{civil.year} / civil.month / civil.day};
  const double dayNumber = static_cast<double>((date - kEpoch).count());
  const double msOfDay =
      ((civil.hour * 60.0 + civil.minute) * 60.0 + civil.second) * 1000.0 + civil.millisecond;
  const double fraction = msOfDay / 86400000.0;
  // Days before the epoch keep the time of day as a positive fraction, counted away from zero.
  return dayNumber >= 0 ? dayNumber + fraction : dayNumber - fraction;
}

CivilTime DecodeDateTime(TDateTime value) {
  // Years 1 to 9999 as the clock knows them; anything else (a damaged record) reads as day 0.
  constexpr double kLastDay = 2958466.0;
  constexpr double kFirstDay = -693593.0;
  if (!std::isfinite(value) || value > kLastDay || value < kFirstDay) return CivilTime{};
  double dayPart = std::trunc(value);
  double fraction = std::fabs(value - dayPart);
  auto ms = static_cast<int64_t>(std::llround(fraction * 86400000.0));
  if (ms >= 86400000) {
    ms -= 86400000;
    dayPart += value >= 0 ? 1 : -1;
  }
  const std::chrono::year_month_day ymd{kEpoch + days{static_cast<int64_t>(dayPart)}};
  CivilTime civil;
  civil.year = static_cast<int>(ymd.year());
  civil.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  civil.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  civil.hour = static_cast<int>(ms / 3600000);
  civil.minute = static_cast<int>(ms / 60000 % 60);
  civil.second = static_cast<int>(ms / 1000 % 60);
  civil.millisecond = static_cast<int>(ms % 1000);
  return civil;
}

}  // namespace drv
