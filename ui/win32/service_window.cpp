#include "ui/win32/service_window.h"

#include <stdexcept>
#include <utility>

#include "ui/win32/window_class.h"

namespace drv {
namespace {

constexpr wchar_t kClassName[] = L"drvtirval2000n.Service";
constexpr UINT kEndProgramMessage = WM_APP + 2;
constexpr UINT_PTR kTickTimer = 2;
constexpr UINT kTickPeriodMs = 200;

}  // namespace

ServiceWindow::ServiceWindow(Handlers handlers) : handlers_(std::move(handlers)) {
  win32::RegisterWindowClass(kClassName, win32::MemberWindowProc<ServiceWindow>);
  // A top-level window (a message-only one hears nothing of the session's end), never shown.
  window_ = CreateWindowExW(0, kClassName, L"drvtirval2000n", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                            nullptr, win32::ProgramInstance(), this);
  // Where no desktop can hold one (a desktop-less session): a message-only window still takes
  // the tick and the end from the console; the session's end then ends the process unannounced.
  if (window_ == nullptr) window_ = win32::CreateMessageWindow(kClassName, this);
  if (window_ == nullptr) throw std::runtime_error("cannot create the service's window");
}

ServiceWindow::~ServiceWindow() {
  KillTimer(window_, kTickTimer);
  DestroyWindow(window_);
}

void ServiceWindow::RunTick(bool run) {
  if (run) {
    SetTimer(window_, kTickTimer, kTickPeriodMs, nullptr);
  } else {
    KillTimer(window_, kTickTimer);
  }
}

void ServiceWindow::PostEndProgram(HWND window) {
  PostMessageW(window, kEndProgramMessage, 0, 0);
}

LRESULT ServiceWindow::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_TIMER:
      if (wParam == kTickTimer && handlers_.tick) handlers_.tick();
      return 0;
    case kEndProgramMessage:
    // A request to close the program's windows (taskkill without /F): nobody is there to type
    // a close code, so it ends the program as an accepted close does.
    case WM_CLOSE:
      if (handlers_.endProgram) handlers_.endProgram();
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      if (wParam != FALSE && handlers_.sessionEnd) handlers_.sessionEnd();
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace drv
