#pragma once

#include <atomic>
#include <cstdint>

#include "base/clock.h"

namespace drv::testing {

// A clock that moves only when the test says so; tick and wall time advance together.
class FakeClock final : public IClock {
 public:
  explicit FakeClock(uint32_t tick = 100000, TDateTime now = 46000.5) : tick_(tick), now_(now) {}

  uint32_t TickCount() const override { return tick_.load(); }
  TDateTime Now() const override { return now_.load(); }

  void Advance(uint32_t ms) {
    tick_ += ms;
    now_ = now_.load() + ms * kOneMillisecond;
  }
  void SetTick(uint32_t tick) { tick_ = tick; }
  void SetNow(TDateTime now) { now_ = now; }

 private:
  std::atomic<uint32_t> tick_;
  std::atomic<TDateTime> now_;
};

}  // namespace drv::testing
