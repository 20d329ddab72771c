#pragma once

#include <windows.h>

#include <string>

namespace drv {

// The driver's message box: one line of text and "ОК", sized to the text. One instance lives for
// the whole program and is reused; created before the main window, whose start-up may need it.
class Tadvsm {
 public:
  Tadvsm();
  ~Tadvsm();
  Tadvsm(const Tadvsm&) = delete;
  Tadvsm& operator=(const Tadvsm&) = delete;

  // Shows `text` modally, the thread's messages dispatched meanwhile; returns when the box is
  // closed ("ОК", Enter, Escape or the window's close button). Returns at once, showing nothing,
  // while the box is already shown or the program is ending (see Dismiss).
  void ShowMessageBox(const std::string& text);

  // Puts the text in and sizes the box without showing it.
  void SetText(const std::string& text);
  std::string Text() const;

  // Closes the box if it is shown and keeps it from showing again: the program is ending.
  void Dismiss();

  HWND Window() const { return window_; }
  HWND OkButton() const { return okButton_; }
  bool Showing() const { return showing_; }

  LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

 private:
  HWND window_ = nullptr;
  HWND text_ = nullptr;
  HWND okButton_ = nullptr;
  std::string textUtf8_;
  bool showing_ = false;
  bool closed_ = false;
  bool dismissed_ = false;
};

}  // namespace drv
