#include "ui/driver_lifecycle.h"

#include <utility>

namespace drv {

DriverLifecycle::DriverLifecycle(WindowParts parts) : parts_(std::move(parts)) {}

void DriverLifecycle::StartDriver(const DriverPlatform& platform, IOperatorWindow& window) {
  if (driver_) return;
  driver_ = std::make_unique<Driver>(platform, window);
  parts_.runTick(true);
  driver_->StartUp();
}

void DriverLifecycle::RequestClose() {
  if (closeRequestActive_ || ending_) return;
  closeRequestActive_ = true;
  const bool mayClose = driver_ ? driver_->RequestClose() : true;
  closeRequestActive_ = false;
  // Ended from outside while the code was asked for: that end wins, as a cancel.
  if (!mayClose || ending_) return;
  ending_ = true;
  closeAccepted_ = true;
  parts_.closeAccepted();
}

void DriverLifecycle::EndProgram() {
  ending_ = true;
  parts_.dismissDialogs();
}

void DriverLifecycle::ShutdownDriver() {
  if (shutDown_) return;
  shutDown_ = true;
  parts_.runTick(false);
  if (driver_) driver_->Shutdown();
  parts_.removeTrayIcon();
}

}  // namespace drv
