#include "ui/win32/main_thread_win32.h"

#include <stdexcept>

#include "ui/win32/window_class.h"

namespace drv {
namespace {

constexpr wchar_t kClassName[] = L"drvtirval2000n.MainThread";
constexpr UINT kRunTasksMessage = WM_APP + 1;

HWND CreateTaskWindow(Win32MainThread* owner) {
  win32::RegisterWindowClass(kClassName, win32::MemberWindowProc<Win32MainThread>);
  HWND window = win32::CreateMessageWindow(kClassName, owner);
  if (window == nullptr) throw std::runtime_error("cannot create the main thread's window");
  return window;
}

}  // namespace

Win32MainThread::Win32MainThread()
    : window_(CreateTaskWindow(this)), tasks_([window = window_] {
        // A full message queue (10000 messages) already holds a wake-up for these tasks.
        PostMessageW(window, kRunTasksMessage, 0, 0);
      }) {}

Win32MainThread::~Win32MainThread() {
  tasks_.Stop();
  DestroyWindow(window_);
}

LRESULT Win32MainThread::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kRunTasksMessage) {
    tasks_.RunQueued();
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace drv
