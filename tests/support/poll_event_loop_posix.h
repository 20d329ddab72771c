#pragma once

#include <poll.h>

#include <chrono>
#include <functional>
#include <optional>
#include <utility>

#include "receiver/serial_event_loop.h"

namespace drv::testing {

// A serial event loop over poll(2) on the calling thread: what the program's toolkit loop does
// for the port, without the toolkit, so that a test can run the component on a real line.
class PollEventLoop final : public ISerialEventLoop {
 public:
  using Clock = std::chrono::steady_clock;

  void Watch(SerialReadinessHandle handle, std::function<void()> onReadable) override {
    fd_ = static_cast<int>(handle);
    onReadable_ = std::move(onReadable);
  }
  void Unwatch() override {
    fd_ = -1;
    onReadable_ = nullptr;
  }
  void StartTimer(uint64_t delayUs, std::function<void()> onTimeout) override {
    due_ = Clock::now() + std::chrono::microseconds(delayUs);
    onTimeout_ = std::move(onTimeout);
  }
  void StopTimer() override {
    due_.reset();
    onTimeout_ = nullptr;
  }

  // Turns the loop until `done` or until `bound` has passed; returns `done()`.
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    const Clock::time_point end = Clock::now() + bound;
    while (!done() && Clock::now() < end) {
      Clock::time_point wakeAt = end;
      if (due_ && *due_ < wakeAt) wakeAt = *due_;
      const auto wait =
          std::chrono::ceil<std::chrono::milliseconds>(std::max(wakeAt - Clock::now(), {}));
      pollfd watched{fd_, POLLIN, 0};
      const int ready = ::poll(&watched, fd_ >= 0 ? 1 : 0, static_cast<int>(wait.count()));
      if (due_ && Clock::now() >= *due_) {
        due_.reset();
        const std::function<void()> call = std::exchange(onTimeout_, nullptr);
        if (call) call();
      }
      if (ready > 0 && watched.revents != 0 && onReadable_) {
        const std::function<void()> call = onReadable_;
        call();
      }
    }
    return done();
  }

 private:
  int fd_ = -1;
  std::function<void()> onReadable_;
  std::optional<Clock::time_point> due_;
  std::function<void()> onTimeout_;
};

}  // namespace drv::testing
