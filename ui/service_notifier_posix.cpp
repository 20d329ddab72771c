#include <systemd/sd-daemon.h>

#include "ui/service_notifier.h"

namespace drv {

// sd_notify does nothing, and sd_watchdog_enabled answers 0, when the driver was not started
// by systemd with a notification socket or a watchdog.
ServiceNotifier::ServiceNotifier() {
  uint64_t intervalUs = 0;
  if (sd_watchdog_enabled(0, &intervalUs) > 0) watchdogIntervalUs_ = intervalUs;
}

void ServiceNotifier::Ready() {
  sd_notify(0, "READY=1");
}

void ServiceNotifier::Status(const std::string& text) {
  sd_notify(0, ("STATUS=" + text).c_str());
}

void ServiceNotifier::WatchdogPing() {
  sd_notify(0, "WATCHDOG=1");
}

void ServiceNotifier::Stopping() {
  sd_notify(0, "STOPPING=1");
}

}  // namespace drv
