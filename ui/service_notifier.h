#pragma once

#include <cstdint>
#include <string>

namespace drv {

// What the service manager is told about the driver running without a window: systemd's
// notifications on Linux (when NOTIFY_SOCKET names its socket), nothing on Windows. Main thread.
class IServiceNotifier {
 public:
  virtual ~IServiceNotifier() = default;
  // Start-up is complete: the station's port is open and the session runs.
  virtual void Ready() = 0;
  // One line for people: how the driver stands.
  virtual void Status(const std::string& text) = 0;
  // The main loop is alive.
  virtual void WatchdogPing() = 0;
  virtual void Stopping() = 0;
  // The time within which the manager expects the next ping, in microseconds; 0 when it
  // expects none.
  virtual uint64_t WatchdogIntervalUs() const = 0;
};

// The platform's notifier.
class ServiceNotifier final : public IServiceNotifier {
 public:
  ServiceNotifier();
  void Ready() override;
  void Status(const std::string& text) override;
  void WatchdogPing() override;
  void Stopping() override;
  uint64_t WatchdogIntervalUs() const override { return watchdogIntervalUs_; }

 private:
  uint64_t watchdogIntervalUs_ = 0;
};

}  // namespace drv
