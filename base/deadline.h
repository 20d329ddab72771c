#pragma once

#include <algorithm>
#include <chrono>

namespace drv {

// A moment some milliseconds ahead on the steady clock, for waits on sockets and handles that
// take a time-out in milliseconds and may be woken early.
class Deadline {
 public:
  explicit Deadline(int fromNowMs)
      : at_(std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(fromNowMs, 0))) {}

  // What is left of it, 0 once it has passed.
  int RemainingMs() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          at_ - std::chrono::steady_clock::now())
                          .count();
    return left > 0 ? static_cast<int>(left) : 0;
  }
  std::chrono::steady_clock::time_point At() const { return at_; }

 private:
  std::chrono::steady_clock::time_point at_;
};

}  // namespace drv
