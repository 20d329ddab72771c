#include "ui/win32/close_code_dialog.h"

#include "base/win_text.h"
#include "ui/win32/modal_loop.h"
#include "ui/win32/style.h"
#include "ui/win32/window_class.h"
#include "ui/window_texts.h"

namespace drv {
namespace {

constexpr wchar_t kClassName[] = L"drvtirval2000n.TForm2";
constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
constexpr int kWidth = 281;
constexpr int kHeight = 93;
constexpr int kCodeLength = 5;
// The entry's frame; the field itself lies one pixel inside it.
constexpr RECT kEntryFrame{88, 32, 88 + 105, 32 + 21};
// Neither IDOK nor IDCANCEL, which Enter and Escape would stand for.
constexpr int kOkId = 101;
constexpr int kCancelId = 102;

HWND MakeButton(HWND parent, const char* caption, int id, int left) {
  return CreateWindowExW(0, L"BUTTON", Utf8ToWide(caption).c_str(),
                         WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW, left, 60, 72, 25,
                         parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                         win32::ProgramInstance(), nullptr);
}

}  // namespace

TForm2::TForm2() {
  win32::RegisterWindowClass(kClassName, win32::MemberWindowProc<TForm2>);
  const win32::Style& style = win32::DriverStyle();
  const RECT frame = win32::CentredWindowRect(kStyle, kExStyle, kWidth, kHeight);
  window_ =
      CreateWindowExW(kExStyle, kClassName, Utf8ToWide(kCloseCodeDialogTitle).c_str(), kStyle,
                      frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top,
                      nullptr, nullptr, win32::ProgramInstance(), this);
  prompt_ = CreateWindowExW(0, L"STATIC", Utf8ToWide(kCloseCodePrompt).c_str(),
                            WS_CHILD | WS_VISIBLE | SS_CENTER | SS_NOPREFIX, 4, 6, kWidth - 8, 22,
                            window_, nullptr, win32::ProgramInstance(), nullptr);
  entry_ = CreateWindowExW(
      0, L"EDIT", L"",
      WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_PASSWORD | ES_NUMBER | ES_AUTOHSCROLL,
      kEntryFrame.left + 1, kEntryFrame.top + 2, kEntryFrame.right - kEntryFrame.left - 2,
      kEntryFrame.bottom - kEntryFrame.top - 3, window_, nullptr, win32::ProgramInstance(),
      nullptr);
  okButton_ = MakeButton(window_, kOkCaption, kOkId, 58);
  cancelButton_ = MakeButton(window_, kCancelCaption, kCancelId, 151);

  SendMessageW(prompt_, WM_SETFONT, reinterpret_cast<WPARAM>(style.serifBoldFont), FALSE);
  for (HWND control : {entry_, okButton_, cancelButton_}) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(style.pageFont), FALSE);
  }
  SendMessageW(entry_, EM_SETLIMITTEXT, kCodeLength, 0);
  // Whatever the system's own mask character (often a bullet).
  SendMessageW(entry_, EM_SETPASSWORDCHAR, L'*', 0);
}

TForm2::~TForm2() {
  DestroyWindow(window_);
}

std::string TForm2::EntryText() const {
  wchar_t text[kCodeLength + 2] = {};
  const int length = GetWindowTextW(entry_, text, kCodeLength + 2);
  return WideToUtf8(std::wstring_view(text, static_cast<std::size_t>(length)));
}

CloseCodeAnswer TForm2::AskCloseCode(std::string_view closeCode) {
  // A second request while the dialog is up (the tray menu stays usable) is not confirmed.
  if (dismissed_ || showing_) return CloseCodeAnswer::kCancelled;
  showing_ = true;
  outcome_ = Outcome::kOpen;
  win32::CentreOnScreen(window_, kWidth, kHeight);
  win32::RunModal(
      window_, [this] { return outcome_ != Outcome::kOpen; },
      [](const MSG& message) {
        // Neither Enter nor Escape presses a button of this dialog.
        const WPARAM key = message.wParam;
        return message.message == WM_KEYDOWN ? key == VK_RETURN || key == VK_ESCAPE
                                             : key == L'\r' || key == 0x1B;
      });
  showing_ = false;
  if (outcome_ != Outcome::kOk || dismissed_) return CloseCodeAnswer::kCancelled;
  return JudgeCloseCode(EntryText(), closeCode);
}

void TForm2::Dismiss() {
  dismissed_ = true;
  if (!showing_) return;
  outcome_ = Outcome::kCancel;
  // Wakes the dialog's message loop, which then sees that it is closed.
  PostMessageW(window_, WM_NULL, 0, 0);
}

LRESULT TForm2::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wParam) == kOkId && HIWORD(wParam) == BN_CLICKED) outcome_ = Outcome::kOk;
      if (LOWORD(wParam) == kCancelId && HIWORD(wParam) == BN_CLICKED) outcome_ = Outcome::kCancel;
      // The frame shows the entry's focus.
      if (reinterpret_cast<HWND>(lParam) == entry_ &&
          (HIWORD(wParam) == EN_SETFOCUS || HIWORD(wParam) == EN_KILLFOCUS)) {
        InvalidateRect(window, &kEntryFrame, TRUE);
      }
      return 0;
    case WM_SYSCOMMAND:
      // The window's close button and Alt+F4.
      if ((wParam & 0xFFF0) == SC_CLOSE) {
        outcome_ = Outcome::kCancel;
        return 0;
      }
      return DefWindowProcW(window, message, wParam, lParam);
    case WM_CLOSE:
      // A close posted to every window of the program (as taskkill does) is the main window's
      // to answer: it would otherwise cancel the very dialog that the main window's close opens.
      return 0;
    case WM_ACTIVATE:
      // Typing replaces the previous entry.
      if (LOWORD(wParam) != WA_INACTIVE) {
        SetFocus(entry_);
        SendMessageW(entry_, EM_SETSEL, 0, -1);
      }
      return 0;
    case WM_ERASEBKGND: {
      auto* dc = reinterpret_cast<HDC>(wParam);
      RECT area;
      GetClientRect(window, &area);
      FillRect(dc, &area, win32::DriverStyle().windowBrush);
      win32::FillSolid(dc, kEntryFrame, win32::kWhite);
      win32::FrameSolid(dc, kEntryFrame,
                        GetFocus() == entry_ ? win32::kFocusBorder : win32::kFieldBorder);
      return 1;
    }
    case WM_CTLCOLORSTATIC: {
      auto* dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, win32::kPageText);
      SetBkMode(dc, TRANSPARENT);
      return reinterpret_cast<LRESULT>(win32::DriverStyle().windowBrush);
    }
    case WM_CTLCOLOREDIT: {
      auto* dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, win32::kPageText);
      SetBkColor(dc, win32::kWhite);
      return reinterpret_cast<LRESULT>(win32::DriverStyle().whiteBrush);
    }
    case WM_DRAWITEM:
      win32::DrawPushButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam), {});
      return TRUE;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace drv
