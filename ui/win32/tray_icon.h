#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace drv {

// The driver's icon in the notification area, with its hint and its menu ("Восстановить", a
// separator, "Закрыть"; no default item), opened where the right mouse button is released over
// the icon; the left button and a double click do nothing. The icon is added again when the
// taskbar is created anew (the shell restarted).
class TrayIcon {
 public:
  struct Actions {
    std::function<void()> restore;
    std::function<void()> close;
  };

  // Adds the icon at once; `icon` stays the caller's.
  TrayIcon(HICON icon, const std::string& hint, Actions actions);
  ~TrayIcon();
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  // Takes the icon out of the notification area; for good.
  void Remove();
  bool Shown() const { return shown_; }

  // The menu's commands.
  static constexpr UINT kRestoreCommand = 1;
  static constexpr UINT kCloseCommand = 2;
  // A new menu of the icon; the caller destroys it.
  static HMENU CreateMenu();
  // Runs a command of the menu as a pick of its item does.
  void Pick(UINT command);

  HWND Window() const { return window_; }

  LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

 private:
  bool Add();
  void ShowMenu();

  HWND window_ = nullptr;
  HICON icon_ = nullptr;
  std::wstring hint_;
  Actions actions_;
  UINT taskbarCreated_ = 0;
  bool shown_ = false;
  bool removed_ = false;
};

}  // namespace drv
