#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "base/win_text.h"

namespace drv::testing {

// A bound that only a hang reaches; no check depends on how fast anything is.
inline constexpr std::chrono::seconds kSafetyBound{10};

// Dispatches the messages waiting now.
inline void PumpPending() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // Not the test's to take: put back for whoever checks for it.
      PostQuitMessage(static_cast<int>(message.wParam));
      return;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

// Dispatches the thread's messages until `done()`; false when the safety bound passed first.
inline bool PumpUntil(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + kSafetyBound;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    PumpPending();
    if (done()) return true;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  return true;
}

// Runs `action` once, from the message loop that is running when `window` has become visible:
// the way to answer a modal dialog whose caller waits in its loop. A thread timer of the test
// thread watches; every loop of the thread dispatches it. Several may wait at once.
class WhenShown {
 public:
  WhenShown(HWND window, std::function<void()> action)
      : window_(window), action_(std::move(action)) {
    timer_ = SetTimer(nullptr, 0, 10, &WhenShown::Check);
    Watching()[timer_] = this;
  }
  ~WhenShown() { Stop(); }
  WhenShown(const WhenShown&) = delete;
  WhenShown& operator=(const WhenShown&) = delete;

  bool Ran() const { return ran_; }

 private:
  static std::map<UINT_PTR, WhenShown*>& Watching() {
    static std::map<UINT_PTR, WhenShown*> watching;
    return watching;
  }
  static void CALLBACK Check(HWND, UINT, UINT_PTR timer, DWORD) {
    const auto found = Watching().find(timer);
    if (found == Watching().end()) return;
    WhenShown& self = *found->second;
    if (!IsWindowVisible(self.window_)) return;
    self.ran_ = true;
    self.Stop();
    self.action_();
  }
  void Stop() {
    if (timer_ == 0) return;
    KillTimer(nullptr, timer_);
    Watching().erase(timer_);
    timer_ = 0;
  }

  HWND window_;
  std::function<void()> action_;
  UINT_PTR timer_ = 0;
  bool ran_ = false;
};

inline std::string TextOf(HWND window) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  const int length = GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<std::size_t>(length > 0 ? length : 0));
  return WideToUtf8(text);
}

// The window's client area: its size, and where it lies in its parent's client area.
inline RECT PlaceOf(HWND window) {
  RECT place{};
  GetWindowRect(window, &place);
  MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT*>(&place), 2);
  return place;
}

inline SIZE ClientSize(HWND window) {
  RECT client{};
  GetClientRect(window, &client);
  return {client.right, client.bottom};
}

// A click on a button, as the operator's would come: through the button's own handling.
inline void Click(HWND button) {
  SendMessageW(button, BM_CLICK, 0, 0);
}

// Keys to the window with the focus, as the keyboard would send them, through the loop running.
inline void PostKey(HWND window, WPARAM key) {
  PostMessageW(window, WM_KEYDOWN, key, 1);
  PostMessageW(window, WM_KEYUP, key, 0xC0000001);
}

}  // namespace drv::testing
