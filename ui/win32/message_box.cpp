#include "ui/win32/message_box.h"

#include <algorithm>

#include "base/win_text.h"
#include "ui/message_box_layout.h"
#include "ui/win32/modal_loop.h"
#include "ui/win32/style.h"
#include "ui/win32/window_class.h"
#include "ui/window_texts.h"

namespace drv {
namespace {

constexpr wchar_t kClassName[] = L"drvtirval2000n.advsm";
constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;

}  // namespace

Tadvsm::Tadvsm() {
  win32::RegisterWindowClass(kClassName, win32::MemberWindowProc<Tadvsm>);
  const win32::Style& style = win32::DriverStyle();
  window_ = CreateWindowExW(kExStyle, kClassName, Utf8ToWide(kMessageBoxTitle).c_str(), kStyle, 0,
                            0, 0, 0, nullptr, nullptr, win32::ProgramInstance(), this);
  text_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_CENTER | SS_NOPREFIX, 0, 0,
                          0, 0, window_, nullptr, win32::ProgramInstance(), nullptr);
  okButton_ =
      CreateWindowExW(0, L"BUTTON", Utf8ToWide(kOkCaption).c_str(),
                      WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW, 0, 0, 0, 0, window_,
                      reinterpret_cast<HMENU>(IDOK), win32::ProgramInstance(), nullptr);
  SendMessageW(text_, WM_SETFONT, reinterpret_cast<WPARAM>(style.serifBoldFont), FALSE);
  SendMessageW(okButton_, WM_SETFONT, reinterpret_cast<WPARAM>(style.pageFont), FALSE);
  SetText("");
}

Tadvsm::~Tadvsm() {
  DestroyWindow(window_);
}

void Tadvsm::SetText(const std::string& text) {
  textUtf8_ = text;
  const MessageBoxGeometry geometry = MessageBoxLayout(CharacterCount(text));
  SetWindowTextW(text_, Utf8ToWide(text).c_str());
  MoveWindow(text_, geometry.textLeft, geometry.textTop, geometry.textWidth, geometry.textHeight,
             TRUE);
  MoveWindow(okButton_, geometry.buttonLeft, geometry.buttonTop, geometry.buttonWidth,
             geometry.buttonHeight, TRUE);
  // A window cannot be narrower than one pixel; only an empty text comes near that.
  win32::CentreOnScreen(window_, std::max(geometry.width, 1), geometry.height);
}

std::string Tadvsm::Text() const {
  return textUtf8_;
}

void Tadvsm::ShowMessageBox(const std::string& text) {
  // One box at a time: a message raised while the box is up (from a handler run by its own
  // message loop) would otherwise replace the text the operator is reading.
  if (dismissed_ || showing_) return;
  SetText(text);
  showing_ = true;
  closed_ = false;
  SetFocus(okButton_);
  win32::RunModal(window_, [this] { return closed_; });
  showing_ = false;
}

void Tadvsm::Dismiss() {
  dismissed_ = true;
  closed_ = true;
  // Wakes the box's message loop, which then sees that it is closed.
  PostMessageW(window_, WM_NULL, 0, 0);
}

LRESULT Tadvsm::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      // "ОК" and Enter give IDOK, Escape gives IDCANCEL: each closes the box.
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) closed_ = true;
      return 0;
    case WM_SYSCOMMAND:
      // The window's close button and Alt+F4.
      if ((wParam & 0xFFF0) == SC_CLOSE) {
        closed_ = true;
        return 0;
      }
      return DefWindowProcW(window, message, wParam, lParam);
    case WM_CLOSE:
      // A close posted to every window of the program (as taskkill does) is the main window's
      // to answer: it would otherwise cancel the very dialog that the main window's close opens.
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE) SetFocus(okButton_);
      return 0;
    case WM_ERASEBKGND: {
      RECT area;
      GetClientRect(window, &area);
      FillRect(reinterpret_cast<HDC>(wParam), &area, win32::DriverStyle().windowBrush);
      return 1;
    }
    case WM_CTLCOLORSTATIC: {
      auto* dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, win32::kBlack);
      SetBkMode(dc, TRANSPARENT);
      return reinterpret_cast<LRESULT>(win32::DriverStyle().windowBrush);
    }
    case WM_DRAWITEM:
      win32::DrawPushButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam), {});
      return TRUE;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace drv
