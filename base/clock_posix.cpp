#include "base/clock.h"

#include <ctime>

namespace drv {
namespace {

// Broken-down local time of a wall-clock reading.
CivilTime LocalCivilTime(const timespec& wall) {
  std::tm tm{};
  localtime_r(&wall.tv_sec, &tm);
  CivilTime civil;
  civil.year = tm.tm_year + 1900;
  civil.month = tm.tm_mon + 1;
  civil.day = tm.tm_mday;
  civil.hour = tm.tm_hour;
  civil.minute = tm.tm_min;
  civil.second = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second is not a TDateTime
  civil.millisecond = static_cast<int>(wall.tv_nsec / 1000000);
  return civil;
}

}  // namespace

uint32_t SystemClock::TickCount() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

uint64_t SystemClock::MicrosecondCount() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

TDateTime SystemClock::Now() const {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return EncodeDateTime(LocalCivilTime(ts));
}

int64_t SystemClock::UnixTimeMs() const {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace drv
