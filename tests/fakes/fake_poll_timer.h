#pragma once

#include <vector>

#include "receiver/poll_timer.h"

namespace drv::testing {

// Records how the poll timer is driven; the test calls the tick handler itself.
class FakePollTimer final : public IPollTimer {
 public:
  void Start(unsigned periodMs) override {
    running = true;
    period = periodMs;
    starts.push_back(periodMs);
  }
  void Stop() override {
    running = false;
    ++stops;
  }

  bool running = false;
  unsigned period = 0;
  std::vector<unsigned> starts;  // period of every Start, in order
  int stops = 0;
};

}  // namespace drv::testing
