#include "ui/service_run.h"

#include <utility>

#include "app/driver_settings.h"
#include "base/error_log.h"
#include "ui/command_line.h"

namespace drv {

ServiceRun::ServiceRun(IClock& clock, IServiceNotifier& notifier, Parts parts)
    : clock_(clock),
      notifier_(notifier),
      parts_(std::move(parts)),
      lifecycle_({parts_.runTick, [] {}, [] {}, [] {}}),
      window_(clock, {parts_.writeLine, [this] { return lifecycle_.Ending(); }}) {}

ServiceRun::~ServiceRun() {
  Shutdown();
}

bool ServiceRun::Start(const DriverPlatform& platform) {
  window_.SetErrorLogPath(ErrorLogPath(platform.workingDirectory));
  DriverSettings settings;
  ReadDriverSettings(SettingsPath(platform.workingDirectory), settings);
  if (settings.ComPort == kNoComPort) {
    window_.ShowMessageBox(kNoPortChosenMessage);
    exitStatus_ = kConfigurationErrorStatus;
    lifecycle_.EndProgram();
    return false;
  }
  portName_ = settings.ComPort;
  session_ = settings.SendTorven8;

  window_.Note(std::string(kDriverProgramName) + " " + platform.versionText + " starts in " +
               platform.workingDirectory);
  lifecycle_.StartDriver(platform, window_);
  if (Ending()) return false;
  lastPortTry_ = clock_.TickCount();
  if (!DriverLogic()->PortOpen()) {
    window_.Note("port " + portName_ + " does not open; it is tried again every " +
                 std::to_string(kPortRetryMs / 1000) + " s");
  }
  ReportProgress();
  return true;
}

void ServiceRun::OnTick() {
  Driver* driver = DriverLogic();
  if (driver == nullptr || Ending()) return;
  driver->OnTick();
  const uint32_t now = clock_.TickCount();
  RetryPort(now);
  ReportProgress();
  PingWatchdog(now);
}

void ServiceRun::RetryPort(uint32_t now) {
  Driver* driver = DriverLogic();
  if (driver->PortOpen()) {
    if (!CloseFailedPort()) return;
    // A device plugged back at once is taken up at once; one that is gone is tried from now on.
    lastPortTry_.reset();
  }
  if (lastPortTry_ && TickDiff(now, *lastPortTry_) < kPortRetryMs) return;
  lastPortTry_ = now;
  if (driver->ReopenConfiguredPort()) window_.Note("port " + portName_ + " open");
}

bool ServiceRun::CloseFailedPort() {
  Driver* driver = DriverLogic();
  const std::optional<uint64_t> failingMs = driver->PortFailingForMs();
  if (!failingMs || *failingMs < kFailedPortMs || !driver->CloseFailedPort()) return false;
  window_.Note("port " + portName_ + " failed; it is reopened every " +
               std::to_string(kPortRetryMs / 1000) + " s");
  return true;
}

void ServiceRun::ReportProgress() {
  const HealthSnapshot health = DriverLogic()->Health();
  if (!ready_ && health.links.portOpen) {
    ready_ = true;
    notifier_.Ready();
  }
  std::string status = StatusText(health);
  if (status != status_) {
    status_ = std::move(status);
    notifier_.Status(status_);
  }
}

std::string ServiceRun::StatusText(const HealthSnapshot& health) const {
  std::string text = "port " + portName_ +
                     (health.links.portOpen ? " open"
                                            : " not open, tried again every " +
                                                  std::to_string(kPortRetryMs / 1000) + " s");
  text += health.links.stationLinkUp ? "; station link up" : "; station link down";
  if (session_) {
    text += health.links.serverIntroduced  ? "; message server connected"
            : health.links.serverConnected ? "; message server connecting"
                                           : "; message server not connected";
  } else {
    text += "; no message server session";
  }
  text += "; " + std::to_string(health.delivery.recordsWaiting) + " records waiting";
  return text;
}

void ServiceRun::PingWatchdog(uint32_t now) {
  const uint64_t intervalUs = notifier_.WatchdogIntervalUs();
  if (intervalUs == 0) return;
  // Twice per interval, so that one late tick does not make the manager give up on the driver.
  const uint64_t halfMs = intervalUs / 2000;
  if (lastPing_ && TickDiff(now, *lastPing_) < halfMs) return;
  lastPing_ = now;
  notifier_.WatchdogPing();
}

void ServiceRun::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  if (DriverLogic() != nullptr) notifier_.Stopping();
  lifecycle_.ShutdownDriver();
}

}  // namespace drv
