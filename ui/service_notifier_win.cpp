#include "ui/service_notifier.h"

namespace drv {

// Windows has no counterpart of systemd's notifications that a program of its own could use:
// a Windows service would speak to the service control manager, which this program is not.
ServiceNotifier::ServiceNotifier() = default;

void ServiceNotifier::Ready() {}

void ServiceNotifier::Status(const std::string&) {}

void ServiceNotifier::WatchdogPing() {}

void ServiceNotifier::Stopping() {}

}  // namespace drv
