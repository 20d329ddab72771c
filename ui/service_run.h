#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/driver.h"
#include "base/clock.h"
#include "ui/driver_lifecycle.h"
#include "ui/journal_window.h"
#include "ui/service_notifier.h"

namespace drv {

// The driver without a window, as a service runs it: the same lifecycle as the window's, with the
// journal as its window. Nobody is there to pick another port, so a configured port that is busy
// or missing is tried again every few seconds until it opens; nor to restart one whose line hung
// up or whose device went away: once its reads have failed for a few seconds it is closed and
// tried again in the same way. The service manager learns that
// the driver is ready once the port is open (and the session runs, which start-up has begun by
// then), how it stands, that the main loop is alive (the watchdog, from the 200 ms tick) and
// that it stops. Only the end of the program from outside (a signal) ends it. Toolkit-free: each
// front end gives it a 200 ms timer and a way to write a line.
class ServiceRun {
 public:
  static constexpr uint32_t kPortRetryMs = 5000;
  // Reads of the open port failing this long without one succeeding: the line is taken for
  // dead, and the port is closed and reopened.
  static constexpr uint32_t kFailedPortMs = 5000;
  // No port configured: a restart cannot help (sysexits' EX_CONFIG).
  static constexpr int kConfigurationErrorStatus = 78;

  struct Parts {
    // Starts (true) or stops (false) the 200 ms tick, which calls OnTick.
    std::function<void(bool run)> runTick;
    // One line, without its line end, to the journal (standard error).
    std::function<void(const std::string& line)> writeLine;
  };

  ServiceRun(IClock& clock, IServiceNotifier& notifier, Parts parts);
  ~ServiceRun();
  ServiceRun(const ServiceRun&) = delete;
  ServiceRun& operator=(const ServiceRun&) = delete;

  // Builds and starts the driver on `platform`. False when the program ends at once: no port is
  // configured (ExitStatus tells), or the program was ended during start-up.
  bool Start(const DriverPlatform& platform);
  // The 200 ms tick: the driver's tick, the port's retry, readiness, status and watchdog.
  void OnTick();
  // A termination signal: the caller then leaves its event loop.
  void EndProgram() { lifecycle_.EndProgram(); }
  bool Ending() const { return lifecycle_.Ending(); }
  // After the event loop: tells the manager, closes the port, stops the session. Once.
  void Shutdown();
  int ExitStatus() const { return exitStatus_; }

  JournalWindow& Window() { return window_; }
  Driver* DriverLogic() const { return lifecycle_.DriverLogic(); }
  bool Ready() const { return ready_; }

 private:
  void RetryPort(uint32_t now);
  // True when the port was open, its reads had failed for kFailedPortMs, and it is closed now.
  bool CloseFailedPort();
  void ReportProgress();
  void PingWatchdog(uint32_t now);
  std::string StatusText(const HealthSnapshot& health) const;

  IClock& clock_;
  IServiceNotifier& notifier_;
  Parts parts_;
  DriverLifecycle lifecycle_;
  JournalWindow window_;
  std::string portName_;
  bool session_ = false;
  bool ready_ = false;
  bool shutDown_ = false;
  int exitStatus_ = 0;
  std::optional<uint32_t> lastPortTry_;
  std::optional<uint32_t> lastPing_;
  std::string status_;
};

// What the journal and the error log get when the settings name no port.
inline constexpr char kNoPortChosenMessage[] =
    "No port chosen: set ComPort in drvtirval2000n.ini; without a window nobody can pick one.";

}  // namespace drv
