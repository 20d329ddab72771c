#pragma once

#include <windows.h>

#include <functional>

namespace drv {

// The one window of the driver run without a window, never shown: it takes the 200 ms tick's
// timer, the end of the program posted from another thread (the console's Ctrl-C) or asked for
// by a close request (taskkill), and the end of the Windows session, which the system tells
// top-level windows only. Main thread.
class ServiceWindow {
 public:
  struct Handlers {
    std::function<void()> tick;
    // The program is to end: the handler leaves the message loop.
    std::function<void()> endProgram;
    // The Windows session ends: the process may be ended as soon as the message is answered.
    std::function<void()> sessionEnd;
  };

  explicit ServiceWindow(Handlers handlers);
  ~ServiceWindow();
  ServiceWindow(const ServiceWindow&) = delete;
  ServiceWindow& operator=(const ServiceWindow&) = delete;

  // Starts (true) or stops (false) the 200 ms tick.
  void RunTick(bool run);
  HWND Handle() const { return window_; }
  // From any thread: endProgram on the main thread of `window`. Nothing once it is gone.
  static void PostEndProgram(HWND window);

  LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

 private:
  Handlers handlers_;
  HWND window_ = nullptr;
};

}  // namespace drv
