#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "app/close_code.h"

namespace drv {

// The close-code dialog: guards closing the driver and stopping its port. One instance lives for
// the whole program, so the entry keeps the last typed text between requests.
class TForm2 {
 public:
  TForm2();
  ~TForm2();
  TForm2(const TForm2&) = delete;
  TForm2& operator=(const TForm2&) = delete;

  // Shows the dialog modally. "ОК" gives Accepted when the entry equals `closeCode` exactly and
  // WrongCode otherwise; "Отмена" or the window's close button give Cancelled; Enter and Escape
  // do nothing. Gives Cancelled at once while the dialog is already shown or the program is
  // ending (see Dismiss).
  CloseCodeAnswer AskCloseCode(std::string_view closeCode);

  // Closes the dialog (as a cancel) if it is shown and keeps it from showing again.
  void Dismiss();

  HWND Window() const { return window_; }
  HWND Entry() const { return entry_; }
  HWND OkButton() const { return okButton_; }
  HWND CancelButton() const { return cancelButton_; }
  std::string EntryText() const;

  LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

 private:
  enum class Outcome { kOpen, kOk, kCancel };

  HWND window_ = nullptr;
  HWND prompt_ = nullptr;
  HWND entry_ = nullptr;
  HWND okButton_ = nullptr;
  HWND cancelButton_ = nullptr;
  Outcome outcome_ = Outcome::kOpen;
  bool showing_ = false;
  bool dismissed_ = false;
};

}  // namespace drv
