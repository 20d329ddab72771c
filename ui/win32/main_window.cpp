#include "ui/win32/main_window.h"

#include <windowsx.h>

#include "app/port_controls.h"
#include "base/win_text.h"
#include "ui/memo_text.h"
#include "ui/win32/close_code_dialog.h"
#include "ui/win32/link_indicator_bitmap.h"
#include "ui/win32/message_box.h"
#include "ui/win32/pictures.h"
#include "ui/win32/resource_ids.h"
#include "ui/win32/style.h"
#include "ui/win32/tray_icon.h"
#include "ui/win32/window_class.h"
#include "ui/window_texts.h"

namespace drv {
namespace {

constexpr wchar_t kWindowClass[] = L"drvtirval2000n.TForm1";
constexpr wchar_t kPageClass[] = L"drvtirval2000n.Page";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;

constexpr int kClientWidth = 447;
constexpr int kClientHeight = 331;
constexpr int kBannerHeight = 57;
constexpr int kToolbarHeight = 81;
constexpr int kPageTop = kBannerHeight + kToolbarHeight;
constexpr int kPageHeight = 193;
constexpr int kLabelHeight = 13;
constexpr int kGroupWidth = 88;
constexpr UINT kTickPeriodMs = 200;
constexpr UINT_PTR kTickTimer = 2;  // the form's Timer2

constexpr UINT kHideIfMinimisedMessage = WM_APP + 1;
constexpr UINT kEndProgramMessage = WM_APP + 2;

// The "Com порт" frame on the settings page, and the frame of the display list.
constexpr RECT kPortGroup{9, 3, 9 + 428, 3 + 62};
constexpr int kPortGroupTitleMargin = 7;
constexpr RECT kMemoFrame{7, 84, 7 + 432, 84 + 100};
constexpr RECT kBanner{0, 0, kClientWidth, kBannerHeight};
constexpr RECT kToolbar{0, kBannerHeight, kClientWidth, kPageTop};
// Where a page button sits in the toolbar band, by page.
constexpr RECT PageButtonRect(int page) {
  const int left = page * (kGroupWidth + 1) + (kGroupWidth - 72) / 2;
  return {left, kBannerHeight + 4, left + 72, kBannerHeight + 4 + 54};
}
// The background of the "Com порт" frame behind its buttons' rounded corners.
constexpr COLORREF kPortGroupFill = RGB(232, 241, 252);

WPARAM FontParameter(HFONT font) {
  return reinterpret_cast<WPARAM>(font);
}

HMENU ControlId(int id) {
  return reinterpret_cast<HMENU>(static_cast<INT_PTR>(id));
}

std::wstring WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int copied = GetWindowTextW(window, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
  return text;
}

void DrawCentredText(HDC dc, const std::wstring& text, RECT area, HFONT font, COLORREF colour) {
  const HGDIOBJ old = SelectObject(dc, font);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, colour);
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &area,
            DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
  SelectObject(dc, old);
}

void FillToolbarBand(HDC dc, const RECT& band) {
  win32::FillVerticalGradient(
      dc, band, {{0, RGB(246, 250, 255)}, {0.8, RGB(219, 233, 250)}, {1, RGB(199, 220, 246)}});
}

}  // namespace

TForm1::TForm1(Tadvsm& messageBox)
    : messageBox_(messageBox),
      bannerCaption_(kDefaultBannerCaption),
      lifecycle_({[this](bool run) {
                    if (run) {
                      SetTimer(window_, kTickTimer, kTickPeriodMs, nullptr);
                    } else {
                      KillTimer(window_, kTickTimer);
                    }
                  },
                  [this] {
                    if (closeCodeDialog_ != nullptr) closeCodeDialog_->Dismiss();
                    messageBox_.Dismiss();
                  },
                  [this] {
                    ShowWindow(window_, SW_HIDE);
                    PostQuitMessage(0);
                  },
                  [this] {
                    if (tray_) tray_->Remove();
                  }}) {
  bigIcon_ = win32::IconFromPicture(IDR_DRIVER_ICON_32_PNG);
  smallIcon_ = win32::IconFromPicture(IDR_DRIVER_ICON_16_PNG);
  win32::RegisterWindowClass(kWindowClass, win32::MemberWindowProc<TForm1>, bigIcon_, smallIcon_);
  win32::RegisterWindowClass(kPageClass, win32::MemberWindowProc<TForm1>);

  const RECT frame = win32::CentredWindowRect(kStyle, kExStyle, kClientWidth, kClientHeight);
  window_ =
      CreateWindowExW(kExStyle, kWindowClass, Utf8ToWide(kMainWindowTitle).c_str(), kStyle,
                      frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top,
                      nullptr, nullptr, win32::ProgramInstance(), this);

  // The window manager and the taskbar take the window's own icons.
  SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_));
  SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));

  const struct {
    int id;
    const char* caption;
  } pageButtons[] = {{kStatePageButton, kStatePageCaption},
                     {kSettingsPageButton, kSettingsPageCaption}};
  for (int page = 0; page < 2; ++page) {
    const RECT at = PageButtonRect(page);
    CreateWindowExW(0, L"BUTTON", Utf8ToWide(pageButtons[page].caption).c_str(),
                    WS_CHILD | WS_VISIBLE | BS_OWNERDRAW, at.left, at.top, at.right - at.left,
                    at.bottom - at.top, window_, ControlId(pageButtons[page].id),
                    win32::ProgramInstance(), nullptr);
    pages_[static_cast<std::size_t>(page)] =
        CreateWindowExW(WS_EX_CONTROLPARENT, kPageClass, page == kStatePage ? L"Default" : L"setup",
                        WS_CHILD | WS_CLIPCHILDREN, 0, kPageTop, kClientWidth, kPageHeight, window_,
                        nullptr, win32::ProgramInstance(), this);
  }
  BuildStatePage();
  BuildSettingsPage();
  ShowPage(kStatePage);

  // The icon is in the notification area from the start.
  tray_ = std::make_unique<TrayIcon>(
      smallIcon_, kMainWindowTitle,
      TrayIcon::Actions{[this] { RestoreFromTray(); }, [this] { RequestClose(); }});
}

TForm1::~TForm1() {
  ShutdownDriver();
  tray_.reset();
  DestroyWindow(window_);
  DestroyIcon(bigIcon_);
  DestroyIcon(smallIcon_);
}

HWND TForm1::MakeLabel(HWND page, const char* text, int left, int top, int id) {
  const std::wstring wide = Utf8ToWide(text);
  const HFONT font = win32::DriverStyle().pageFont;
  HWND label =
      CreateWindowExW(0, L"STATIC", wide.c_str(), WS_CHILD | WS_VISIBLE | SS_NOPREFIX, left, top,
                      win32::TextWidth(font, wide.c_str(), static_cast<int>(wide.size())),
                      kLabelHeight, page, ControlId(id), win32::ProgramInstance(), nullptr);
  SendMessageW(label, WM_SETFONT, FontParameter(font), FALSE);
  return label;
}

void TForm1::BuildStatePage() {
  HWND page = pages_[kStatePage];
  const HINSTANCE instance = win32::ProgramInstance();
  const auto picture = [&](int id, int left, int top, bool visible) {
    CreateWindowExW(0, L"STATIC", L"",
                    WS_CHILD | SS_OWNERDRAW | (visible ? static_cast<DWORD>(WS_VISIBLE) : 0u), left,
                    top, kIndicatorSize, kIndicatorSize, page, ControlId(id), instance, nullptr);
  };
  MakeLabel(page, kStationLinkCaption, 8, 10);
  picture(kImage2, 176, 8, true);
  MakeLabel(page, kServerLinkCaption, 256, 10);
  picture(kImage3, 416, 8, true);

  HWND startCaption = CreateWindowExW(0, L"STATIC", Utf8ToWide(kStartTimeCaption).c_str(),
                                      WS_CHILD | WS_VISIBLE | SS_RIGHT | SS_NOPREFIX, 7, 37, 111,
                                      kLabelHeight, page, nullptr, instance, nullptr);
  SendMessageW(startCaption, WM_SETFONT, FontParameter(win32::DriverStyle().pageFont), FALSE);
  MakeLabel(page, "", 124, 37, kLabel6);

  ShowWindow(MakeLabel(page, kServerLinkCaption, 256, 37, kLabel13), SW_HIDE);
  picture(kImage1, 416, 35, false);

  MakeLabel(page, kCloseCodeCaption, 7, 65);
  MakeLabel(page, "", 124, 65, kLabel15);

  // Inside its one-pixel frame, which the page draws. Lines wrap at its width; no scroll bars.
  HWND memo = CreateWindowExW(
      0, L"EDIT", L"",
      WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN,
      kMemoFrame.left + 1, kMemoFrame.top + 1, kMemoFrame.right - kMemoFrame.left - 2,
      kMemoFrame.bottom - kMemoFrame.top - 2, page, ControlId(kMemo1), instance, nullptr);
  SendMessageW(memo, WM_SETFONT, FontParameter(win32::DriverStyle().pageFont), FALSE);
  // No limit but memory: the list can hold more than 1000 lines.
  SendMessageW(memo, EM_SETLIMITTEXT, 0, 0);
  SendMessageW(memo, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELPARAM(2, 2));
}

void TForm1::BuildSettingsPage() {
  HWND page = pages_[kSettingsPage];
  const HINSTANCE instance = win32::ProgramInstance();
  const win32::Style& style = win32::DriverStyle();
  const int groupLeft = kPortGroup.left;
  const int groupTop = kPortGroup.top;

  // Eight entries visible when the list drops down.
  HWND list = CreateWindowExW(
      0, L"COMBOBOX", L"",
      WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL,
      groupLeft + 18, groupTop + 25, 103, 21 + 8 * 15 + 2, page, ControlId(kComboBox1), instance,
      nullptr);
  SendMessageW(list, WM_SETFONT, FontParameter(style.pageFont), FALSE);
  // The selection field 21 pixels high with its border.
  SendMessageW(list, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), 15);
  SendMessageW(list, CB_SETITEMHEIGHT, 0, 15);

  HWND startStop = CreateWindowExW(
      0, L"BUTTON", L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW, groupLeft + 143,
      groupTop + 22, 94, 25, page, ControlId(kPushButton2), instance, nullptr);
  HWND scan =
      CreateWindowExW(0, L"BUTTON", Utf8ToWide(kScanCaption).c_str(),
                      WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW, groupLeft + 243,
                      groupTop + 22, 170, 25, page, ControlId(kPushButton1), instance, nullptr);
  SendMessageW(startStop, WM_SETFONT, FontParameter(style.pageBoldFont), FALSE);
  SendMessageW(scan, WM_SETFONT, FontParameter(style.pageBoldFont), FALSE);

  HWND frameDisplay = CreateWindowExW(0, L"BUTTON", Utf8ToWide(kFrameDisplayCaption).c_str(),
                                      WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, 10, 71,
                                      263, 20, page, ControlId(kCheckBox1), instance, nullptr);
  SendMessageW(frameDisplay, WM_SETFONT, FontParameter(style.pageFont), FALSE);

  // The form starts in the running appearance; the driver's start-up changes it.
  SetStartStopCaption(kCaptionStop);
  SetScanEnabled(false);
  SetPortListEnabled(false);
}

HWND TForm1::ControlWindow(Control control) const {
  if (control == kStatePageButton || control == kSettingsPageButton) {
    return GetDlgItem(window_, control);
  }
  for (HWND page : pages_) {
    if (HWND found = GetDlgItem(page, control)) return found;
  }
  return nullptr;
}

void TForm1::StartDriver(const DriverPlatform& platform) {
  lifecycle_.StartDriver(platform, *this);
}

void TForm1::Timer2Timer() {
  if (Driver* driver = DriverLogic()) driver->OnTick();
}

void TForm1::PushButton1Click() {
  if (Driver* driver = DriverLogic()) driver->RescanPorts();
}

void TForm1::PushButton2Click() {
  if (Driver* driver = DriverLogic()) driver->StartOrStop();
}

void TForm1::ComboBox1Select() {
  if (Driver* driver = DriverLogic()) driver->SaveChosenPort();
}

void TForm1::EndProgram() {
  lifecycle_.EndProgram();
}

void TForm1::PostEndProgram(HWND window) {
  PostMessageW(window, kEndProgramMessage, 0, 0);
}

void TForm1::ShutdownDriver() {
  lifecycle_.ShutdownDriver();
}

void TForm1::Show() {
  ShowWindow(window_, SW_SHOWNORMAL);
  UpdateWindow(window_);
  SetForegroundWindow(window_);
}

void TForm1::RequestClose() {
  lifecycle_.RequestClose();
}

bool TForm1::HidesToTray() const {
  // Without a notification area a hidden window could not be brought back: it stays minimised
  // with its taskbar entry.
  return tray_ && tray_->Shown();
}

void TForm1::RestoreFromTray() {
  ShowWindow(window_, IsIconic(window_) ? SW_RESTORE : SW_SHOW);
  SetForegroundWindow(window_);
}

void TForm1::ShowPage(Page page) {
  page_ = page;
  ShowWindow(pages_[kStatePage], page == kStatePage ? SW_SHOW : SW_HIDE);
  ShowWindow(pages_[kSettingsPage], page == kSettingsPage ? SW_SHOW : SW_HIDE);
  // The pressed button is drawn pressed.
  InvalidateRect(GetDlgItem(window_, kStatePageButton), nullptr, TRUE);
  InvalidateRect(GetDlgItem(window_, kSettingsPageButton), nullptr, TRUE);
}

const std::optional<IndicatorPixels>& TForm1::IndicatorShown(Control image) const {
  static const std::optional<IndicatorPixels> kNever;
  if (image == kImage2) return stationIndicator_;
  if (image == kImage3) return serverIndicator_;
  return kNever;
}

// The display list, the text of the edit field.
std::wstring TForm1::MemoText() const {
  return WindowText(ControlWindow(kMemo1));
}

std::size_t TForm1::LineCount() const {
  return MemoLineCount(MemoText());
}

void TForm1::DeleteFirstLine() {
  HWND memo = ControlWindow(kMemo1);
  const auto length = static_cast<DWORD>(MemoFirstLineLength(MemoText()));
  if (length == 0) return;
  // The operator's caret and selection move with the text they are in.
  DWORD start = 0;
  DWORD end = 0;
  SendMessageW(memo, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  SendMessageW(memo, EM_SETSEL, 0, static_cast<LPARAM>(length));
  SendMessageW(memo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
  start = start > length ? start - length : 0;
  end = end > length ? end - length : 0;
  SendMessageW(memo, EM_SETSEL, start, static_cast<LPARAM>(end));
}

void TForm1::AppendLine(const std::string& line) {
  HWND memo = ControlWindow(kMemo1);
  const std::wstring added = MemoLineToAppend(MemoText(), Utf8ToWide(line));
  // At the end, where the caret stays, so that the newest line is in view.
  const auto length = static_cast<WPARAM>(GetWindowTextLengthW(memo));
  SendMessageW(memo, EM_SETSEL, length, static_cast<LPARAM>(length));
  SendMessageW(memo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(added.c_str()));
}

// The port controls.
std::string TForm1::StartStopCaption() const {
  return WideToUtf8(WindowText(ControlWindow(kPushButton2)));
}

void TForm1::SetStartStopCaption(const std::string& caption) {
  HWND button = ControlWindow(kPushButton2);
  SetWindowTextW(button, Utf8ToWide(caption).c_str());
  InvalidateRect(button, nullptr, TRUE);
}

void TForm1::SetScanEnabled(bool enabled) {
  EnableWindow(ControlWindow(kPushButton1), enabled);
}

void TForm1::SetPortListEnabled(bool enabled) {
  EnableWindow(ControlWindow(kComboBox1), enabled);
}

void TForm1::ClearPortList() {
  // Emptying the list keeps the text the operator sees.
  HWND list = ControlWindow(kComboBox1);
  const std::wstring text = WindowText(list);
  SendMessageW(list, CB_RESETCONTENT, 0, 0);
  SetWindowTextW(list, text.c_str());
}

void TForm1::AppendPortListItem(const std::string& name) {
  // Adding an entry leaves the selection and the text as they are.
  SendMessageW(ControlWindow(kComboBox1), CB_ADDSTRING, 0,
               reinterpret_cast<LPARAM>(Utf8ToWide(name).c_str()));
}

int TForm1::PortListCount() const {
  return static_cast<int>(SendMessageW(ControlWindow(kComboBox1), CB_GETCOUNT, 0, 0));
}

void TForm1::SetPortListIndex(int index) {
  HWND list = ControlWindow(kComboBox1);
  // Selecting nothing (or an entry that does not exist) empties the text.
  if (index < 0 || index >= PortListCount()) {
    SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    SetWindowTextW(list, L"");
    return;
  }
  SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

std::string TForm1::PortListText() const {
  return WideToUtf8(WindowText(ControlWindow(kComboBox1)));
}

// Only a pick from the list is a port selection: an arrow key in the closed list, or a click or
// Enter on an entry of the open list. A typed name, even one the list holds, is not.
void TForm1::OnPortListNotification(WORD notification) {
  HWND list = ControlWindow(kComboBox1);
  switch (notification) {
    case CBN_SELCHANGE:
      if (SendMessageW(list, CB_GETDROPPEDSTATE, 0, 0) != FALSE) {
        portPickPending_ = true;
        return;
      }
      break;
    case CBN_SELENDOK:
      if (!portPickPending_) return;
      break;
    case CBN_SELENDCANCEL:
      portPickPending_ = false;
      return;
    default:
      return;
  }
  portPickPending_ = false;
  const auto index = SendMessageW(list, CB_GETCURSEL, 0, 0);
  if (index == CB_ERR) return;
  // The edit field takes the entry's text only after this notification; the selection reads it.
  const auto length = SendMessageW(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR) return;
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(index),
               reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(length));
  SetWindowTextW(list, text.c_str());
  ComboBox1Select();
}

// What the driver's logic asks of the window.
void TForm1::ShowMessageBox(const std::string& text) {
  if (Ending()) return;
  messageBox_.ShowMessageBox(text);
}

CloseCodeAnswer TForm1::AskCloseCode() {
  if (closeCodeDialog_ == nullptr || Ending()) return CloseCodeAnswer::kCancelled;
  return closeCodeDialog_->AskCloseCode(closeCode_);
}

bool TForm1::FrameDisplayEnabled() const {
  return Button_GetCheck(ControlWindow(kCheckBox1)) == BST_CHECKED;
}

void TForm1::DrawStationIndicator(bool linkUp) {
  stationIndicator_ = DrawLinkIndicator(linkUp, 0);
  InvalidateRect(ControlWindow(kImage2), nullptr, FALSE);
}

void TForm1::DrawServerIndicator(bool linkUp, int barPosition) {
  serverIndicator_ = DrawLinkIndicator(linkUp, barPosition);
  InvalidateRect(ControlWindow(kImage3), nullptr, FALSE);
}

void TForm1::SetBannerCaption(const std::string& caption) {
  bannerCaption_ = caption;
  InvalidateRect(window_, &kBanner, FALSE);
}

void TForm1::SetSecondServerRowVisible(bool visible) {
  ShowWindow(ControlWindow(kLabel13), visible ? SW_SHOW : SW_HIDE);
  ShowWindow(ControlWindow(kImage1), visible ? SW_SHOW : SW_HIDE);
}

void TForm1::SetLabelText(Control label, const std::string& text) {
  HWND window = ControlWindow(label);
  const std::wstring wide = Utf8ToWide(text);
  SetWindowTextW(window, wide.c_str());
  // Labels size themselves to their text.
  SetWindowPos(
      window, nullptr, 0, 0,
      win32::TextWidth(win32::DriverStyle().pageFont, wide.c_str(), static_cast<int>(wide.size())),
      kLabelHeight, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TForm1::ShowCloseCode(const std::string& code) {
  closeCode_ = code;
  SetLabelText(kLabel15, code);
  if (closeCodeObserver_) closeCodeObserver_(code);
}

void TForm1::ShowStartTime(const std::string& text) {
  SetLabelText(kLabel6, text);
}

// Drawing.
void TForm1::PaintBands(HDC dc) const {
  const win32::Style& style = win32::DriverStyle();
  win32::FillVerticalGradient(dc, kBanner,
                              {{0, RGB(227, 239, 253)},
                               {0.45, RGB(207, 225, 248)},
                               {0.46, RGB(191, 214, 245)},
                               {1, RGB(214, 230, 250)}});
  win32::FillSolid(dc, {0, kBannerHeight - 1, kClientWidth, kBannerHeight}, win32::kFieldBorder);
  const win32::Picture& applicationButton = win32::ProgramPicture(IDR_APP_BUTTON_PNG);
  win32::DrawPicture(dc, applicationButton, 1, (kBannerHeight - applicationButton.height) / 2);
  const std::wstring caption = Utf8ToWide(bannerCaption_);
  const RECT textArea{62, 0, kClientWidth - 6, kBannerHeight};
  RECT shadow = textArea;
  OffsetRect(&shadow, 0, 1);
  DrawCentredText(dc, caption, shadow, style.bannerFont, RGB(236, 243, 252));
  DrawCentredText(dc, caption, textArea, style.bannerFont, win32::kCaptionText);

  FillToolbarBand(dc, kToolbar);
  win32::FillSolid(dc, {0, kPageTop - 1, kClientWidth, kPageTop}, win32::kFieldBorder);
  const char* captions[] = {kStatePageCaption, kSettingsPageCaption};
  for (int group = 0; group < 2; ++group) {
    const int left = group * (kGroupWidth + 1);
    DrawCentredText(dc, Utf8ToWide(captions[group]),
                    {left, kBannerHeight + 62, left + kGroupWidth, kBannerHeight + 77},
                    style.pageFont, win32::kCaptionText);
    win32::FillSolid(dc,
                     {left + kGroupWidth, kBannerHeight + 6, left + kGroupWidth + 1, kPageTop - 6},
                     RGB(173, 201, 237));
  }
}

void TForm1::Paint(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  const win32::Style& style = win32::DriverStyle();
  if (window == window_) {
    // Drawn off screen first: the gradients would flicker otherwise.
    HDC buffer = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, kClientWidth, kPageTop);
    const HGDIOBJ old = SelectObject(buffer, bitmap);
    PaintBands(buffer);
    BitBlt(dc, 0, 0, kClientWidth, kPageTop, buffer, 0, 0, SRCCOPY);
    SelectObject(buffer, old);
    DeleteObject(bitmap);
    DeleteDC(buffer);
  } else {
    RECT area;
    GetClientRect(window, &area);
    FillRect(dc, &area, style.windowBrush);
    if (window == pages_[kStatePage]) {
      win32::FrameSolid(dc, kMemoFrame, win32::kFieldBorder);
    } else {
      RECT frame = kPortGroup;
      frame.top += kPortGroupTitleMargin;
      HRGN shape =
          CreateRoundRectRgn(frame.left, frame.top, frame.right + 1, frame.bottom + 1, 8, 8);
      SelectClipRgn(dc, shape);
      win32::FillVerticalGradient(dc, frame, {{0, RGB(244, 248, 254)}, {1, RGB(221, 234, 250)}});
      SelectClipRgn(dc, nullptr);
      HBRUSH border = CreateSolidBrush(RGB(163, 192, 232));
      FrameRgn(dc, shape, border, 1, 1);
      DeleteObject(border);
      DeleteObject(shape);
      const std::wstring title = Utf8ToWide(kPortGroupCaption);
      const int titleWidth =
          win32::TextWidth(style.pageFont, title.c_str(), static_cast<int>(title.size()));
      const RECT titleArea{frame.left + 8, kPortGroup.top, frame.left + 8 + titleWidth + 6,
                           kPortGroup.top + 14};
      FillRect(dc, &titleArea, style.windowBrush);
      DrawCentredText(dc, title, titleArea, style.pageFont, win32::kCaptionText);
    }
  }
  EndPaint(window, &paint);
}

void TForm1::DrawItem(const DRAWITEMSTRUCT& item) {
  const auto id = static_cast<int>(item.CtlID);
  if (item.CtlType == ODT_STATIC) {
    const std::optional<IndicatorPixels>& shown = IndicatorShown(static_cast<Control>(id));
    // Before its first drawing a picture is empty.
    if (shown) {
      win32::DrawIndicator(item.hDC, 0, 0, *shown);
    } else {
      FillRect(item.hDC, &item.rcItem, win32::DriverStyle().windowBrush);
    }
    return;
  }
  if (id == kStatePageButton || id == kSettingsPageButton) {
    const Page page = id == kStatePageButton ? kStatePage : kSettingsPage;
    const RECT at = PageButtonRect(page);
    RECT band = kToolbar;
    OffsetRect(&band, -at.left, -at.top);
    FillToolbarBand(item.hDC, band);
    if (page == page_ || (item.itemState & ODS_SELECTED) != 0) {
      const RECT& area = item.rcItem;
      HRGN shape = CreateRoundRectRgn(area.left, area.top, area.right + 1, area.bottom + 1, 6, 6);
      SelectClipRgn(item.hDC, shape);
      win32::FillVerticalGradient(item.hDC, area,
                                  {{0, RGB(254, 214, 160)},
                                   {0.4, RGB(253, 190, 110)},
                                   {0.41, RGB(252, 160, 50)},
                                   {1, RGB(254, 215, 110)}});
      SelectClipRgn(item.hDC, nullptr);
      HBRUSH border = CreateSolidBrush(RGB(194, 155, 65));
      FrameRgn(item.hDC, shape, border, 1, 1);
      DeleteObject(border);
      DeleteObject(shape);
    }
    const win32::Picture& picture =
        win32::ProgramPicture(page == kStatePage ? IDR_PAGE_STATE_PNG : IDR_PAGE_SETUP_PNG);
    win32::DrawPicture(item.hDC, picture, (item.rcItem.right - picture.width) / 2,
                       (item.rcItem.bottom - picture.height) / 2);
    return;
  }
  win32::ButtonLook look;
  look.bold = true;
  look.background = kPortGroupFill;
  if (id == kPushButton2) look.text = win32::kStartStopText;
  win32::DrawPushButton(item, look);
}

LRESULT TForm1::ControlColours(UINT message, HDC dc, HWND control) {
  const win32::Style& style = win32::DriverStyle();
  // The port list's own field, and the list when it is disabled.
  const bool portList =
      control == ControlWindow(kComboBox1) || GetParent(control) == ControlWindow(kComboBox1);
  if (portList && !IsWindowEnabled(ControlWindow(kComboBox1))) {
    SetTextColor(dc, win32::kDisabledText);
    SetBkColor(dc, win32::kDisabledBackground);
    return reinterpret_cast<LRESULT>(style.disabledBrush);
  }
  if (message == WM_CTLCOLOREDIT || message == WM_CTLCOLORLISTBOX) {
    SetTextColor(dc, win32::kPageText);
    SetBkColor(dc, win32::kWhite);
    return reinterpret_cast<LRESULT>(style.whiteBrush);
  }
  SetTextColor(dc, win32::kPageText);
  SetBkMode(dc, TRANSPARENT);
  SetBkColor(dc, win32::kWindowBackground);
  return reinterpret_cast<LRESULT>(style.windowBrush);
}

LRESULT TForm1::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT:
      Paint(window);
      return 0;
    case WM_ERASEBKGND:
      // WM_PAINT covers everything.
      return 1;
    case WM_DRAWITEM:
      DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
      return TRUE;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
      return ControlColours(message, reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case kStatePageButton:
          // A click on the pressed button changes nothing.
          if (HIWORD(wParam) == BN_CLICKED) ShowPage(kStatePage);
          return 0;
        case kSettingsPageButton:
          if (HIWORD(wParam) == BN_CLICKED) ShowPage(kSettingsPage);
          return 0;
        case kPushButton1:
          if (HIWORD(wParam) == BN_CLICKED) PushButton1Click();
          return 0;
        case kPushButton2:
          if (HIWORD(wParam) == BN_CLICKED) PushButton2Click();
          return 0;
        case kComboBox1:
          OnPortListNotification(HIWORD(wParam));
          return 0;
        default:
          return 0;
      }
    default:
      break;
  }
  if (window != window_) return DefWindowProcW(window, message, wParam, lParam);

  switch (message) {
    case WM_TIMER:
      if (wParam == kTickTimer) Timer2Timer();
      return 0;
    case WM_CLOSE:
      // Every close goes through the close code; an accepted one has hidden the window already.
      if (!lifecycle_.CloseAccepted()) RequestClose();
      return 0;
    case WM_SIZE:
      if (wParam == SIZE_MINIMIZED && HidesToTray()) {
        // Hidden once the minimising is through.
        PostMessageW(window, kHideIfMinimisedMessage, 0, 0);
      }
      return 0;
    case kHideIfMinimisedMessage:
      if (IsIconic(window)) ShowWindow(window, SW_HIDE);
      return 0;
    case kEndProgramMessage:
      EndProgram();
      PostQuitMessage(0);
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      if (wParam != FALSE && sessionEnd_) sessionEnd_();
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace drv
