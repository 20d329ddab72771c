#include "ui/win32/modal_loop.h"

#include <vector>

namespace drv::win32 {
namespace {

struct Disabling {
  HWND dialog;
  std::vector<HWND> disabled;
};

BOOL CALLBACK DisableWindow(HWND window, LPARAM parameter) {
  auto& disabling = *reinterpret_cast<Disabling*>(parameter);
  if (window != disabling.dialog && IsWindowEnabled(window)) {
    EnableWindow(window, FALSE);
    disabling.disabled.push_back(window);
  }
  return TRUE;
}

}  // namespace

void RunModal(HWND dialog, const std::function<bool()>& done,
              const std::function<bool(const MSG&)>& swallowKey) {
  Disabling disabling{dialog, {}};
  EnumThreadWindows(GetCurrentThreadId(), DisableWindow, reinterpret_cast<LPARAM>(&disabling));
  ShowWindow(dialog, SW_SHOW);
  SetForegroundWindow(dialog);

  MSG message;
  while (!done()) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    if (got < 0) break;
    const bool isKey = message.message == WM_KEYDOWN || message.message == WM_CHAR;
    if (isKey && swallowKey && swallowKey(message)) continue;
    if (IsDialogMessageW(dialog, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }

  // Enabled again before the dialog goes, so that the window that was active before becomes
  // active again rather than another program's.
  for (HWND window : disabling.disabled) {
    if (IsWindow(window)) EnableWindow(window, TRUE);
  }
  ShowWindow(dialog, SW_HIDE);
}

}  // namespace drv::win32
