#pragma once

#include <atomic>
#include <cstdint>

#include "base/clock.h"

namespace drv::testing {

// A clock that moves only when the test says so; tick, microseconds and both wall times advance
// together.
class FakeClock final : public IClock {
 public:
  explicit FakeClock(uint32_t tick = 100000, TDateTime now = 46000.5)
      : micros_(uint64_t{tick} * 1000), now_(now) {}

  uint32_t TickCount() const override { return static_cast<uint32_t>(micros_.load() / 1000); }
  uint64_t MicrosecondCount() const override { return micros_.load(); }
  TDateTime Now() const override { return now_.load(); }
  int64_t UnixTimeMs() const override {
    return unixOffsetMs_.load() + static_cast<int64_t>(micros_.load() / 1000);
  }

  void Advance(uint32_t ms) { AdvanceMicroseconds(uint64_t{ms} * 1000); }
  void AdvanceMicroseconds(uint64_t us) {
    micros_ += us;
    now_ = now_.load() + static_cast<double>(us) / 1000.0 * kOneMillisecond;
  }
  // The microseconds follow; they go on past the tick count's wrap.
  void SetTick(uint32_t tick) { micros_ = uint64_t{tick} * 1000; }
  void SetNow(TDateTime now) { now_ = now; }
  // Where the wall clock in milliseconds since 1970 stands now: for tests whose files carry the
  // real clock's times.
  void SetUnixTimeMs(int64_t ms) {
    unixOffsetMs_ = ms - static_cast<int64_t>(micros_.load() / 1000);
  }

 private:
  std::atomic<uint64_t> micros_;
  std::atomic<TDateTime> now_;
  // 2025-12-09 12:00 UTC at a tick count of 0, unless the test says otherwise.
  std::atomic<int64_t> unixOffsetMs_{1765281600000};
};

}  // namespace drv::testing
