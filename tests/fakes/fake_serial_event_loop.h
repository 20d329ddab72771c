#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "receiver/serial_event_loop.h"
#include "tests/fakes/fake_clock.h"

namespace drv::testing {

// The main thread's event loop on the fake clock, turned by the test. A turn fires the timer when
// it is due and then reports the device as readable for as long as it stays readable, as a read
// notifier does; a callback that leaves the device readable would spin a real loop, and is caught
// here as `spun`. Timers started during a turn fire at a later turn, at the earliest.
class FakeSerialEventLoop final : public ISerialEventLoop {
 public:
  // `deviceReadable` tells whether the device has input (or a failure) for a reader.
  FakeSerialEventLoop(FakeClock& clock, std::function<bool()> deviceReadable)
      : clock_(clock), deviceReadable_(std::move(deviceReadable)) {}

  void Watch(SerialReadinessHandle handle, std::function<void()> onReadable) override {
    watching = handle != kNoReadinessHandle;
    watchedHandle = handle;
    onReadable_ = std::move(onReadable);
    ++watches;
  }
  void Unwatch() override {
    watching = false;
    onReadable_ = nullptr;
  }
  void StartTimer(uint64_t delayUs, std::function<void()> onTimeout) override {
    timerArmed = true;
    timerDue_ = clock_.MicrosecondCount() + delayUs;
    onTimeout_ = std::move(onTimeout);
    timerDelays.push_back(delayUs);
  }
  void StopTimer() override {
    timerArmed = false;
    onTimeout_ = nullptr;
  }

  // One turn of the loop at the clock's present time.
  void Turn() {
    if (timerArmed && clock_.MicrosecondCount() >= timerDue_) {
      timerArmed = false;
      ++timerFirings;
      const std::function<void()> call = std::exchange(onTimeout_, nullptr);
      call();
    }
    for (int calls = 0; watching && deviceReadable_(); ++calls) {
      if (calls == kSpinLimit) {
        spun = true;
        break;
      }
      ++readableCalls;
      const std::function<void()> call = onReadable_;
      call();
    }
  }

  // Moves the clock on a millisecond at a time, with a turn after each.
  void Advance(uint32_t ms) {
    for (uint32_t i = 0; i < ms; ++i) {
      clock_.Advance(1);
      Turn();
    }
  }

  // Moves the clock on by `us` and turns the loop once.
  void AdvanceMicroseconds(uint64_t us) {
    clock_.AdvanceMicroseconds(us);
    Turn();
  }

  // Microseconds until the armed timer is due.
  uint64_t TimerDueInUs() const { return timerDue_ - clock_.MicrosecondCount(); }

  static constexpr int kSpinLimit = 100;

  bool watching = false;
  SerialReadinessHandle watchedHandle = kNoReadinessHandle;
  int watches = 0;
  bool timerArmed = false;
  std::vector<uint64_t> timerDelays;  // the delay of every StartTimer in microseconds, in order
  int timerFirings = 0;
  int readableCalls = 0;
  bool spun = false;

 private:
  FakeClock& clock_;
  std::function<bool()> deviceReadable_;
  std::function<void()> onReadable_;
  std::function<void()> onTimeout_;
  uint64_t timerDue_ = 0;
};

}  // namespace drv::testing
