#pragma once

#include <cstdint>

#include "base/tdatetime.h"

namespace drv {

// The one place the driver reads time from; tests replace it with a fake.
class IClock {
 public:
  virtual ~IClock() = default;
  // Milliseconds since an arbitrary start, wrapping at 2^32; compare with TickDiff.
  virtual uint32_t TickCount() const = 0;
  // Microseconds on the same clock as TickCount, for times that whole milliseconds would blur;
  // does not wrap.
  virtual uint64_t MicrosecondCount() const = 0;
  // Local wall-clock time.
  virtual TDateTime Now() const = 0;
  // Wall-clock time as milliseconds since 1970-01-01 00:00 UTC, for what other programs read
  // (file times, the health file): free of the time zone and its changes.
  virtual int64_t UnixTimeMs() const = 0;
};

// Elapsed milliseconds from `since` to `now`, modulo 2^32, so a wrap of the counter does no harm.
inline constexpr uint32_t TickDiff(uint32_t now, uint32_t since) {
  return now - since;
}

class SystemClock final : public IClock {
 public:
  uint32_t TickCount() const override;
  uint64_t MicrosecondCount() const override;
  TDateTime Now() const override;
  int64_t UnixTimeMs() const override;
};

}  // namespace drv
