#include "ui/win32/tray_icon.h"

#include <shellapi.h>

#include <iterator>
#include <utility>

#include "base/win_text.h"
#include "ui/win32/window_class.h"
#include "ui/window_texts.h"

namespace drv {
namespace {

constexpr wchar_t kClassName[] = L"drvtirval2000n.TrayIcon";
constexpr UINT kIconMessage = WM_APP + 1;
constexpr UINT kIconId = 1;

}  // namespace

TrayIcon::TrayIcon(HICON icon, const std::string& hint, Actions actions)
    : icon_(icon), hint_(Utf8ToWide(hint)), actions_(std::move(actions)) {
  win32::RegisterWindowClass(kClassName, win32::MemberWindowProc<TrayIcon>);
  // A hidden top-level window of its own receives the icon's messages: the menu needs a window
  // that can come to the foreground, so that it closes when the operator clicks elsewhere.
  window_ = CreateWindowExW(WS_EX_TOOLWINDOW, kClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                            nullptr, win32::ProgramInstance(), this);
  taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
  shown_ = Add();
}

TrayIcon::~TrayIcon() {
  Remove();
  DestroyWindow(window_);
}

bool TrayIcon::Add() {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = window_;
  data.uID = kIconId;
  data.uFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE;
  data.uCallbackMessage = kIconMessage;
  data.hIcon = icon_;
  lstrcpynW(data.szTip, hint_.c_str(), static_cast<int>(std::size(data.szTip)));
  return Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
}

void TrayIcon::Remove() {
  if (removed_) return;
  removed_ = true;
  if (!shown_) return;
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = window_;
  data.uID = kIconId;
  Shell_NotifyIconW(NIM_DELETE, &data);
  shown_ = false;
}

HMENU TrayIcon::CreateMenu() {
  HMENU menu = CreatePopupMenu();
  AppendMenuW(menu, MF_STRING, kRestoreCommand, Utf8ToWide(kRestoreItem).c_str());
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, kCloseCommand, Utf8ToWide(kCloseItem).c_str());
  return menu;
}

void TrayIcon::Pick(UINT command) {
  if (command == kRestoreCommand && actions_.restore) actions_.restore();
  if (command == kCloseCommand && actions_.close) actions_.close();
}

void TrayIcon::ShowMenu() {
  POINT at{};
  GetCursorPos(&at);
  HMENU menu = CreateMenu();
  // The menu closes on a click elsewhere only when its window is in the foreground.
  SetForegroundWindow(window_);
  const UINT command = static_cast<UINT>(TrackPopupMenu(
      menu, TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, at.x, at.y, 0, window_, nullptr));
  PostMessageW(window_, WM_NULL, 0, 0);
  DestroyMenu(menu);
  // After the menu's own loop: "Закрыть" opens a modal dialog.
  Pick(command);
}

LRESULT TrayIcon::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kIconMessage) {
    if (LOWORD(lParam) == WM_RBUTTONUP && !removed_) ShowMenu();
    return 0;
  }
  // A close posted to every window of the program (as taskkill does) is the main window's to
  // answer; this one lives as long as the icon.
  if (message == WM_CLOSE) return 0;
  if (message == taskbarCreated_ && taskbarCreated_ != 0) {
    if (!removed_) shown_ = Add();
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace drv
