#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ui/service_notifier.h"

namespace drv::testing {

// The service manager as the driver's run sees it: records every notification, in order.
class FakeServiceNotifier final : public IServiceNotifier {
 public:
  void Ready() override { messages.push_back("READY=1"); }
  void Status(const std::string& text) override { messages.push_back("STATUS=" + text); }
  void WatchdogPing() override { messages.push_back("WATCHDOG=1"); }
  void Stopping() override { messages.push_back("STOPPING=1"); }
  uint64_t WatchdogIntervalUs() const override { return watchdogIntervalUs; }

  int Count(const std::string& message) const {
    int count = 0;
    for (const auto& m : messages) count += m == message ? 1 : 0;
    return count;
  }

  uint64_t watchdogIntervalUs = 0;
  std::vector<std::string> messages;
};

}  // namespace drv::testing
