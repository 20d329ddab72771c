#pragma once

#include <functional>
#include <memory>

#include "app/driver.h"
#include "app/operator_window.h"

namespace drv {

// The main window's life around its driver, the same in every front end: the driver is built
// and started once, the 200 ms tick runs from then on, a close request asks for the close code
// one request at a time, the program may be ended from outside meanwhile (a termination signal,
// the end of the session), and the driver is shut down once at the end. The window owns one and
// forwards to it; what is left in the window is drawing.
class DriverLifecycle {
 public:
  // What the lifecycle asks of its window; every part is called on the main thread.
  struct WindowParts {
    // Starts (true) or stops (false) the 200 ms tick.
    std::function<void(bool run)> runTick;
    // The program is ending: close open dialogs as cancelled and show none any more.
    std::function<void()> dismissDialogs;
    // The close code was accepted: the window hides, and the program ends.
    std::function<void()> closeAccepted;
    std::function<void()> removeTrayIcon;
  };

  explicit DriverLifecycle(WindowParts parts);
  // The driver shuts itself down when destroyed; the window's parts are not called any more.
  ~DriverLifecycle() = default;
  DriverLifecycle(const DriverLifecycle&) = delete;
  DriverLifecycle& operator=(const DriverLifecycle&) = delete;

  // Builds the driver on `platform` for `window` and runs its start-up; the tick runs already
  // during a start-up message box. Once; later calls do nothing.
  void StartDriver(const DriverPlatform& platform, IOperatorWindow& window);
  Driver* DriverLogic() const { return driver_.get(); }

  // Every request to close the main window. Ignored while a request is being answered (the tray
  // menu stays usable meanwhile) and once the program is ending.
  void RequestClose();
  // True once the close code was accepted: the window may really close.
  bool CloseAccepted() const { return closeAccepted_; }

  // The program is ending from outside: open dialogs are closed as cancelled and none is shown
  // any more. The caller then leaves the event loop.
  void EndProgram();
  // An accepted close, or EndProgram.
  bool Ending() const { return ending_; }

  // After the event loop: stops the tick, closes the port and stops the session, removes the
  // tray icon. Once.
  void ShutdownDriver();

 private:
  WindowParts parts_;
  std::unique_ptr<Driver> driver_;
  bool closeRequestActive_ = false;
  bool closeAccepted_ = false;
  bool ending_ = false;
  bool shutDown_ = false;
};

}  // namespace drv
