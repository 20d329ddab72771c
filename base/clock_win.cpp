#include "base/clock.h"

#include <windows.h>

namespace drv {
namespace {

// The performance counter in microseconds, started at the tick count's value: the tick count
// steps in 10 to 16 ms, too coarse for a 10 ms packet time-out.
class MicrosecondClock {
 public:
  MicrosecondClock() {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    frequency_ = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
    offsetUs_ = static_cast<int64_t>(GetTickCount64()) * 1000 - CounterUs();
  }

  uint64_t Now() const { return static_cast<uint64_t>(CounterUs() + offsetUs_); }

 private:
  int64_t CounterUs() const {
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    // In two parts, so that a high frequency cannot overflow the product.
    return counter.QuadPart / frequency_ * 1000000 +
           counter.QuadPart % frequency_ * 1000000 / frequency_;
  }

  int64_t frequency_ = 1;
  int64_t offsetUs_ = 0;
};

}  // namespace

uint32_t SystemClock::TickCount() const {
  return GetTickCount();
}

uint64_t SystemClock::MicrosecondCount() const {
  static const MicrosecondClock clock;
  return clock.Now();
}

TDateTime SystemClock::Now() const {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  CivilTime civil;
  civil.year = local.wYear;
  civil.month = local.wMonth;
  civil.day = local.wDay;
  civil.hour = local.wHour;
  civil.minute = local.wMinute;
  civil.second = local.wSecond;
  civil.millisecond = local.wMilliseconds;
  return EncodeDateTime(civil);
}

int64_t SystemClock::UnixTimeMs() const {
  // 100 ns intervals since 1601-01-01 UTC.
  constexpr int64_t kIntervalsTo1970 = 116444736000000000;
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const int64_t intervals =
      static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
  return (intervals - kIntervalsTo1970) / 10000;
}

}  // namespace drv
