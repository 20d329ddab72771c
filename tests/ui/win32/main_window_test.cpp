#include "ui/win32/main_window.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/driver_settings.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_connection.h"
#include "tests/fakes/fake_serial_device.h"
#include "tests/fakes/fake_serial_event_loop.h"
#include "tests/fakes/manual_main_thread.h"
#include "tests/fakes/temp_dir.h"
#include "tests/ui/win32/win32_test_support.h"
#include "ui/link_indicator.h"
#include "ui/win32/close_code_dialog.h"
#include "ui/win32/message_box.h"
#include "ui/win32/tray_icon.h"

namespace drv {
namespace {

using testing::ClientSize;
using testing::PlaceOf;
using testing::PumpUntil;
using testing::TextOf;
using testing::WhenShown;

std::vector<std::string> MemoLines(const TForm1& window) {
  std::vector<std::string> lines;
  const std::string text = TextOf(window.ControlWindow(TForm1::kMemo1));
  if (text.empty()) return lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  lines.push_back(text.substr(start));
  return lines;
}

// The window's WM_QUIT, posted when the close is accepted, taken out of the test's queue.
bool TakeQuit() {
  MSG message;
  return PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
}

// Whether the indicator control shows exactly the indicator picture, as drawn on the screen.
::testing::AssertionResult ShowsIndicator(HWND control, bool linkUp, int barPosition) {
  RedrawWindow(control, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
  HDC screen = GetDC(control);
  const IndicatorPixels expected = DrawLinkIndicator(linkUp, barPosition);
  for (int y = 0; y < kIndicatorSize; ++y) {
    for (int x = 0; x < kIndicatorSize; ++x) {
      const Rgb pixel = expected.At(x, y);
      const COLORREF shown = GetPixel(screen, x, y);
      if (shown != RGB(pixel.r, pixel.g, pixel.b)) {
        ReleaseDC(control, screen);
        return ::testing::AssertionFailure() << "pixel " << x << "," << y << " differs";
      }
    }
  }
  ReleaseDC(control, screen);
  return ::testing::AssertionSuccess();
}

class Win32MainWindowTest : public ::testing::Test {
 protected:
  HWND Control(TForm1::Control control) const { return window_.ControlWindow(control); }

  Tadvsm box_;
  TForm1 window_{box_};
};

TEST_F(Win32MainWindowTest, IsAFixedWindowOfBannerToolbarAndPages) {
  EXPECT_EQ(TextOf(window_.Handle()), "Драйвер Тирвал 2007");
  const SIZE client = ClientSize(window_.Handle());
  EXPECT_EQ(client.cx, 447);
  EXPECT_EQ(client.cy, 331);
  const auto style = GetWindowLongPtrW(window_.Handle(), GWL_STYLE);
  EXPECT_EQ(style & WS_THICKFRAME, 0) << "not resizable by dragging";
  EXPECT_NE(style & WS_MINIMIZEBOX, 0);
  EXPECT_NE(SendMessageW(window_.Handle(), WM_GETICON, ICON_SMALL, 0), 0) << "the driver's icon";
  for (TForm1::Control button : {TForm1::kStatePageButton, TForm1::kSettingsPageButton}) {
    const RECT place = PlaceOf(Control(button));
    EXPECT_EQ(place.right - place.left, 72);
    EXPECT_EQ(place.bottom - place.top, 54);
    EXPECT_GE(place.top, 57) << "in the toolbar band, below the banner";
    EXPECT_LE(place.bottom, 138);
  }
  EXPECT_EQ(window_.BannerCaption(), "КПО Торвен 2008 - Драйвер Тирвал 2007");
  window_.SetBannerCaption("Пульт охраны №2");
  EXPECT_EQ(window_.BannerCaption(), "Пульт охраны №2");
}

TEST_F(Win32MainWindowTest, PlacesEveryElementOfThePages) {
  struct Placement {
    TForm1::Control control;
    RECT place;  // a right or bottom edge of 0 is not checked (the label sizes itself)
  };
  // Page coordinates; the port controls lie in the "Com порт" frame at (9, 3).
  const Placement placements[] = {
      {TForm1::kImage2, {176, 8, 192, 24}},       {TForm1::kImage3, {416, 8, 432, 24}},
      {TForm1::kLabel6, {124, 37, 0, 50}},        {TForm1::kLabel13, {256, 37, 0, 50}},
      {TForm1::kImage1, {416, 35, 432, 51}},      {TForm1::kLabel15, {124, 65, 0, 78}},
      {TForm1::kComboBox1, {27, 28, 130, 0}},     {TForm1::kPushButton2, {152, 25, 246, 50}},
      {TForm1::kPushButton1, {252, 25, 422, 50}}, {TForm1::kCheckBox1, {10, 71, 273, 91}},
  };
  for (const Placement& p : placements) {
    SCOPED_TRACE(p.control);
    const RECT actual = PlaceOf(Control(p.control));
    EXPECT_EQ(actual.left, p.place.left);
    EXPECT_EQ(actual.top, p.place.top);
    if (p.place.right != 0) {
      EXPECT_EQ(actual.right, p.place.right);
    }
    if (p.place.bottom != 0) {
      EXPECT_EQ(actual.bottom, p.place.bottom);
    }
  }
  // The display list lies inside its one-pixel frame at (7, 84), 432 x 100.
  const RECT memo = PlaceOf(Control(TForm1::kMemo1));
  EXPECT_EQ(memo.left, 8);
  EXPECT_EQ(memo.top, 85);
  EXPECT_EQ(memo.right, 7 + 432 - 1);
  EXPECT_EQ(memo.bottom, 84 + 100 - 1);
  const auto memoStyle = GetWindowLongPtrW(Control(TForm1::kMemo1), GWL_STYLE);
  EXPECT_NE(memoStyle & ES_MULTILINE, 0);
  EXPECT_EQ(memoStyle & (WS_VSCROLL | WS_HSCROLL | ES_AUTOHSCROLL | ES_READONLY), 0)
      << "no scroll bars; lines wrap at its width; the operator may type";

  // Every text of the pages is in the page font (8 pt at 96 dpi).
  for (TForm1::Control control : {TForm1::kLabel6, TForm1::kLabel15, TForm1::kMemo1,
                                  TForm1::kComboBox1, TForm1::kCheckBox1}) {
    SCOPED_TRACE(control);
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(Control(control), WM_GETFONT, 0, 0)),
               sizeof font, &font);
    EXPECT_EQ(font.lfHeight, -11);
  }
  EXPECT_EQ(TextOf(Control(TForm1::kCheckBox1)), "Включить отображение входящих сообщений");
  EXPECT_EQ(TextOf(Control(TForm1::kLabel13)), "Связь с сервером сообщений");
  const auto listStyle = GetWindowLongPtrW(Control(TForm1::kComboBox1), GWL_STYLE);
  EXPECT_EQ(listStyle & 0x3, CBS_DROPDOWN) << "an editable drop-down list";
}

TEST_F(Win32MainWindowTest, PageButtonsActAsAPair) {
  const auto expectPage = [&](TForm1::Page page) {
    EXPECT_EQ(window_.CurrentPage(), page);
    // The state page holds the display list, the settings page the port list.
    HWND statePage = GetParent(Control(TForm1::kMemo1));
    HWND settingsPage = GetParent(Control(TForm1::kComboBox1));
    EXPECT_EQ(IsWindowVisible(statePage) != FALSE, page == TForm1::kStatePage);
    EXPECT_EQ(IsWindowVisible(settingsPage) != FALSE, page == TForm1::kSettingsPage);
  };
  ShowWindow(window_.Handle(), SW_SHOWNOACTIVATE);
  // Opens on the state page.
  expectPage(TForm1::kStatePage);
  testing::Click(Control(TForm1::kSettingsPageButton));
  expectPage(TForm1::kSettingsPage);
  // A click on the pressed button changes nothing.
  testing::Click(Control(TForm1::kSettingsPageButton));
  expectPage(TForm1::kSettingsPage);
  testing::Click(Control(TForm1::kStatePageButton));
  expectPage(TForm1::kStatePage);
  testing::Click(Control(TForm1::kStatePageButton));
  expectPage(TForm1::kStatePage);
}

TEST_F(Win32MainWindowTest, PortControlsStartInTheRunningAppearance) {
  EXPECT_EQ(window_.StartStopCaption(), "Остановить");
  EXPECT_FALSE(IsWindowEnabled(Control(TForm1::kPushButton1)));
  EXPECT_FALSE(IsWindowEnabled(Control(TForm1::kComboBox1)));
  EXPECT_TRUE(IsWindowEnabled(Control(TForm1::kPushButton2)));
  EXPECT_EQ(window_.PortListCount(), 0);
  EXPECT_EQ(window_.PortListText(), "");
  EXPECT_EQ(TextOf(Control(TForm1::kPushButton1)), "Сканировать заново");
  EXPECT_FALSE(window_.FrameDisplayEnabled());

  window_.SetStartStopCaption("Запустить");
  window_.SetScanEnabled(true);
  window_.SetPortListEnabled(true);
  EXPECT_EQ(TextOf(Control(TForm1::kPushButton2)), "Запустить");
  EXPECT_TRUE(IsWindowEnabled(Control(TForm1::kPushButton1)));
  EXPECT_TRUE(IsWindowEnabled(Control(TForm1::kComboBox1)));

  testing::Click(Control(TForm1::kCheckBox1));
  EXPECT_TRUE(window_.FrameDisplayEnabled());
}

TEST_F(Win32MainWindowTest, PortListBehavesAsAnEditableDropDownList) {
  HWND list = Control(TForm1::kComboBox1);
  SetWindowTextW(list, L"COM9");
  EXPECT_EQ(window_.PortListText(), "COM9");  // typed by the operator

  // Appending selects nothing and keeps the text.
  window_.AppendPortListItem("COM1");
  window_.AppendPortListItem("COM3");
  EXPECT_EQ(window_.PortListCount(), 2);
  EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), CB_ERR);
  EXPECT_EQ(window_.PortListText(), "COM9");

  window_.SetPortListIndex(1);
  EXPECT_EQ(window_.PortListText(), "COM3");
  window_.SetPortListIndex(0);
  EXPECT_EQ(window_.PortListText(), "COM1");

  // Emptying the list keeps the text; selecting nothing empties it.
  window_.ClearPortList();
  EXPECT_EQ(window_.PortListCount(), 0);
  EXPECT_EQ(window_.PortListText(), "COM1");
  window_.SetPortListIndex(-1);
  EXPECT_EQ(window_.PortListText(), "");

  window_.AppendPortListItem("COM2");
  window_.SetPortListIndex(0);
  window_.SetPortListIndex(5);  // no such entry
  EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), CB_ERR);
  EXPECT_EQ(window_.PortListText(), "");
}

TEST_F(Win32MainWindowTest, DisplayListCountsDeletesAndAppendsLines) {
  EXPECT_EQ(window_.LineCount(), 0u);
  window_.DeleteFirstLine();  // nothing to delete
  EXPECT_EQ(window_.LineCount(), 0u);

  for (const char* line : {"01 02 03", "Соединение установлено", "04 05"}) window_.AppendLine(line);
  EXPECT_EQ(window_.LineCount(), 3u);
  EXPECT_EQ(MemoLines(window_),
            (std::vector<std::string>{"01 02 03", "Соединение установлено", "04 05"}));

  window_.DeleteFirstLine();
  EXPECT_EQ(MemoLines(window_), (std::vector<std::string>{"Соединение установлено", "04 05"}));
  window_.DeleteFirstLine();
  window_.DeleteFirstLine();
  EXPECT_EQ(window_.LineCount(), 0u);
  EXPECT_TRUE(MemoLines(window_).empty());

  // A long list, more than any trimming keeps, and longer than an edit field holds unless told.
  for (int i = 0; i < 1500; ++i) {
    window_.AppendLine("01.01.2027 00:00:00 Соединение с сервером сообщений " + std::to_string(i));
  }
  EXPECT_EQ(window_.LineCount(), 1500u);
  window_.DeleteFirstLine();
  EXPECT_EQ(window_.LineCount(), 1499u);
  EXPECT_EQ(MemoLines(window_).front(), "01.01.2027 00:00:00 Соединение с сервером сообщений 1");
  EXPECT_EQ(MemoLines(window_).back(), "01.01.2027 00:00:00 Соединение с сервером сообщений 1499");

  // What the operator types counts too.
  SetWindowTextW(Control(TForm1::kMemo1), L"typed\r\nby hand");
  EXPECT_EQ(window_.LineCount(), 2u);
}

TEST_F(Win32MainWindowTest, IndicatorsAreEmptyUntilDrawn) {
  EXPECT_FALSE(window_.IndicatorShown(TForm1::kImage2));
  EXPECT_FALSE(window_.IndicatorShown(TForm1::kImage3));
  EXPECT_FALSE(window_.IndicatorShown(TForm1::kImage1));
  ShowWindow(window_.Handle(), SW_SHOWNOACTIVATE);

  window_.DrawStationIndicator(true);
  EXPECT_TRUE(ShowsIndicator(Control(TForm1::kImage2), true, 0));
  window_.DrawStationIndicator(false);
  EXPECT_TRUE(ShowsIndicator(Control(TForm1::kImage2), false, 0));
  window_.DrawServerIndicator(false, 0);
  EXPECT_TRUE(ShowsIndicator(Control(TForm1::kImage3), false, 0));
  window_.DrawServerIndicator(true, 14);
  EXPECT_TRUE(ShowsIndicator(Control(TForm1::kImage3), true, 14));
  EXPECT_FALSE(window_.IndicatorShown(TForm1::kImage1));
}

TEST_F(Win32MainWindowTest, ShowsTheSecondServerRowOnlyWhenAsked) {
  ShowWindow(window_.Handle(), SW_SHOWNOACTIVATE);
  EXPECT_FALSE(IsWindowVisible(Control(TForm1::kLabel13)));
  EXPECT_FALSE(IsWindowVisible(Control(TForm1::kImage1)));
  window_.SetSecondServerRowVisible(true);
  EXPECT_TRUE(IsWindowVisible(Control(TForm1::kLabel13)));
  EXPECT_TRUE(IsWindowVisible(Control(TForm1::kImage1)));
  window_.SetSecondServerRowVisible(false);
  EXPECT_FALSE(IsWindowVisible(Control(TForm1::kLabel13)));
  EXPECT_FALSE(IsWindowVisible(Control(TForm1::kImage1)));
}

TEST_F(Win32MainWindowTest, ShowsTheCloseCodeAndStartTimeAndTellsTheObserver) {
  std::string observed;
  window_.SetCloseCodeObserver([&](const std::string& code) { observed = code; });
  window_.ShowCloseCode("48213");
  window_.ShowStartTime("10.12.2026 04:38:17");
  EXPECT_EQ(TextOf(Control(TForm1::kLabel15)), "48213");
  EXPECT_EQ(TextOf(Control(TForm1::kLabel6)), "10.12.2026 04:38:17");
  EXPECT_EQ(observed, "48213");
  // The labels size themselves to their text.
  HWND label = Control(TForm1::kLabel6);
  HDC dc = GetDC(label);
  const HGDIOBJ old =
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
  SIZE text{};
  GetTextExtentPoint32W(dc, L"10.12.2026 04:38:17", 19, &text);
  SelectObject(dc, old);
  ReleaseDC(label, dc);
  const RECT place = PlaceOf(label);
  EXPECT_GE(place.right - place.left, text.cx);
}

TEST_F(Win32MainWindowTest, TrayMenuHasRestoreASeparatorAndCloseWithNoDefault) {
  HMENU menu = TrayIcon::CreateMenu();
  ASSERT_EQ(GetMenuItemCount(menu), 3);
  wchar_t text[64] = {};
  GetMenuStringW(menu, 0, text, 64, MF_BYPOSITION);
  EXPECT_EQ(WideToUtf8(text), "Восстановить");
  EXPECT_NE(GetMenuState(menu, 1, MF_BYPOSITION) & MF_SEPARATOR, 0u);
  GetMenuStringW(menu, 2, text, 64, MF_BYPOSITION);
  EXPECT_EQ(WideToUtf8(text), "Закрыть");
  EXPECT_EQ(GetMenuDefaultItem(menu, FALSE, 0), static_cast<UINT>(-1));
  DestroyMenu(menu);
}

TEST_F(Win32MainWindowTest, MinimisingHidesTheWindowAndRestoreBringsItBack) {
  window_.Show();
  ShowWindow(window_.Handle(), SW_MINIMIZE);
  if (window_.HidesToTray()) {
    EXPECT_TRUE(PumpUntil([&] { return !IsWindowVisible(window_.Handle()); }));
  } else {
    // Without a notification area the window stays minimised, so that it can be restored.
    testing::PumpPending();
    EXPECT_TRUE(IsWindowVisible(window_.Handle()));
  }
  window_.Tray().Pick(TrayIcon::kRestoreCommand);
  EXPECT_TRUE(IsWindowVisible(window_.Handle()));
  EXPECT_FALSE(IsIconic(window_.Handle()));
}

// The window with the driver behind it, on fake devices and a temporary working directory.
class Win32DriverWindowTest : public Win32MainWindowTest {
 protected:
  Win32DriverWindowTest() {
    testing::WriteFileBytes(SettingsPath(dir_.Path().string()),
                            "[main]\r\nComPort=COM255\r\nSendTorven8=0\r\n");
    window_.AttachCloseCodeDialog(closeCodeDialog_);
    window_.SetCloseCodeObserver([this](const std::string& code) { observedCode_ = code; });
    window_.StartDriver(DriverPlatform{clock_, mainThread_, serialEvents_, serial_, connections_,
                                       dir_.Path().string(), "1.0.0.1"});
  }
  ~Win32DriverWindowTest() override { TakeQuit(); }

  std::string Settings() const {
    return testing::ReadFileBytes(SettingsPath(dir_.Path().string()));
  }

  // Answers the next close-code dialog: types `typed`, then presses `button`.
  std::unique_ptr<WhenShown> AnswerCloseCode(const std::string& typed, HWND button) {
    return std::make_unique<WhenShown>(closeCodeDialog_.Window(), [this, typed, button] {
      SetWindowTextW(closeCodeDialog_.Entry(), Utf8ToWide(typed).c_str());
      testing::Click(button);
    });
  }

  testing::TempDir dir_;
  testing::FakeClock clock_;
  testing::InlineMainThread mainThread_;
  testing::FakeSerialDevice serial_;
  testing::FakeSerialEventLoop serialEvents_{clock_, [this] { return serial_.Readable(); }};
  testing::FakeConnectionFactory connections_;
  TForm2 closeCodeDialog_;
  std::string observedCode_;
};

TEST_F(Win32DriverWindowTest, StartUpFillsTheWindow) {
  ASSERT_EQ(observedCode_.size(), 5u);
  EXPECT_EQ(observedCode_, window_.DriverLogic()->CloseCode());
  EXPECT_EQ(TextOf(Control(TForm1::kLabel15)), observedCode_);
  EXPECT_FALSE(TextOf(Control(TForm1::kLabel6)).empty());
  // No port configured: stopped, nothing said.
  EXPECT_EQ(window_.StartStopCaption(), "Запустить");
  EXPECT_TRUE(IsWindowEnabled(Control(TForm1::kPushButton1)));
  EXPECT_TRUE(IsWindowEnabled(Control(TForm1::kComboBox1)));
  EXPECT_FALSE(IsWindowVisible(box_.Window()));
}

TEST_F(Win32DriverWindowTest, TheTickDrawsTheStationIndicator) {
  // The link counts as up from the start time on; the 200 ms timer draws it.
  ASSERT_TRUE(PumpUntil([&] { return window_.IndicatorShown(TForm1::kImage2).has_value(); }));
  EXPECT_EQ(*window_.IndicatorShown(TForm1::kImage2), DrawLinkIndicator(true, 0));
}

TEST_F(Win32DriverWindowTest, ControlsReachTheDriver) {
  testing::Click(Control(TForm1::kPushButton1));  // scan: every fake port opens
  EXPECT_EQ(window_.PortListCount(), 32);
  EXPECT_EQ(window_.PortListText(), "COM1");
  EXPECT_NE(Settings().find("ComPort=COM1\r\n"), std::string::npos);

  // The operator picks the next entry with the arrow key.
  HWND field = GetWindow(Control(TForm1::kComboBox1), GW_CHILD);
  testing::PostKey(field, VK_DOWN);
  testing::PumpPending();
  EXPECT_EQ(window_.PortListText(), "COM2");
  EXPECT_NE(Settings().find("ComPort=COM2\r\n"), std::string::npos);

  testing::Click(Control(TForm1::kPushButton2));  // start
  EXPECT_EQ(window_.StartStopCaption(), "Остановить");
  EXPECT_TRUE(serial_.IsOpen());

  auto answer = AnswerCloseCode(observedCode_, closeCodeDialog_.OkButton());
  testing::Click(Control(TForm1::kPushButton2));  // stop, with the code
  EXPECT_EQ(window_.StartStopCaption(), "Запустить");
  EXPECT_FALSE(serial_.IsOpen());
}

// Only a pick from the list is a port selection: a typed name, even one the list holds, is what
// the next start opens, and ComPort stays. Keys go to the list's field as the keyboard's would,
// so that the list sends its own notifications.
TEST_F(Win32DriverWindowTest, ATypedPortNameIsNoSelectionUntilAnEntryIsPicked) {
  testing::Click(Control(TForm1::kPushButton1));  // scan: every fake port opens, COM1 is chosen
  ASSERT_NE(Settings().find("ComPort=COM1\r\n"), std::string::npos);
  window_.Show();
  window_.ShowPage(TForm1::kSettingsPage);
  HWND list = Control(TForm1::kComboBox1);
  HWND field = GetWindow(list, GW_CHILD);
  SetFocus(field);
  const auto press = [&](WPARAM key) {
    testing::PostKey(field, key);
    testing::PumpPending();
  };

  // Typed and committed by Enter.
  SetWindowTextW(list, L"COM3");
  press(VK_RETURN);
  EXPECT_EQ(window_.PortListText(), "COM3");
  EXPECT_NE(Settings().find("ComPort=COM1\r\n"), std::string::npos);

  // The list opened and closed again without a pick.
  SendMessageW(list, CB_SHOWDROPDOWN, TRUE, 0);
  press(VK_ESCAPE);
  EXPECT_NE(Settings().find("ComPort=COM1\r\n"), std::string::npos);

  // Picked in the open list: down from the typed entry to the next, and Enter.
  SendMessageW(list, CB_SHOWDROPDOWN, TRUE, 0);
  press(VK_DOWN);
  EXPECT_NE(Settings().find("ComPort=COM1\r\n"), std::string::npos) << "not while it is open";
  press(VK_RETURN);
  EXPECT_EQ(window_.PortListText(), "COM4");
  EXPECT_NE(Settings().find("ComPort=COM4\r\n"), std::string::npos);

  // The arrow key in the closed list picks the next entry.
  press(VK_DOWN);
  EXPECT_EQ(window_.PortListText(), "COM5");
  EXPECT_NE(Settings().find("ComPort=COM5\r\n"), std::string::npos);
}

TEST_F(Win32DriverWindowTest, CloseAsksForTheCodeAndEndsOnlyWhenItIsRight) {
  window_.Show();
  const std::string settingsBefore = Settings();

  {
    auto answer = AnswerCloseCode("1", closeCodeDialog_.OkButton());
    std::string message;
    WhenShown wrongCode(box_.Window(), [&] {
      message = box_.Text();
      testing::Click(box_.OkButton());
    });
    SendMessageW(window_.Handle(), WM_CLOSE, 0, 0);
    EXPECT_EQ(message, "Не правильный пароль.");
  }
  EXPECT_TRUE(IsWindowVisible(window_.Handle()));
  EXPECT_FALSE(window_.Ending());

  {
    auto answer = AnswerCloseCode("", closeCodeDialog_.CancelButton());
    bool boxShown = false;
    WhenShown box(box_.Window(), [&] {
      boxShown = true;
      testing::Click(box_.OkButton());
    });
    SendMessageW(window_.Handle(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(answer->Ran());
    EXPECT_FALSE(boxShown) << "a cancel says nothing";
  }
  EXPECT_TRUE(IsWindowVisible(window_.Handle()));
  EXPECT_FALSE(TakeQuit());

  auto answer = AnswerCloseCode(observedCode_, closeCodeDialog_.OkButton());
  SendMessageW(window_.Handle(), WM_CLOSE, 0, 0);
  EXPECT_TRUE(window_.Ending());
  EXPECT_FALSE(IsWindowVisible(window_.Handle()));
  EXPECT_TRUE(TakeQuit()) << "the message loop ends";
  EXPECT_EQ(Settings(), settingsBefore);
}

TEST_F(Win32DriverWindowTest, CloseFromTheTrayMenuAsksForTheCodeWhileHidden) {
  ASSERT_FALSE(IsWindowVisible(window_.Handle()));
  auto answer = AnswerCloseCode("", closeCodeDialog_.CancelButton());
  window_.Tray().Pick(TrayIcon::kCloseCommand);
  EXPECT_TRUE(answer->Ran());
  EXPECT_FALSE(window_.Ending());
  EXPECT_FALSE(TakeQuit());
}

TEST_F(Win32DriverWindowTest, EndingTheProgramFromAnotherThreadCancelsAnOpenDialog) {
  window_.Show();
  WhenShown end(closeCodeDialog_.Window(), [&] {
    // As a console's Ctrl-C handler does, on a thread of its own.
    std::thread([window = window_.Handle()] { TForm1::PostEndProgram(window); }).join();
  });
  SendMessageW(window_.Handle(), WM_CLOSE, 0, 0);
  EXPECT_TRUE(end.Ran());
  EXPECT_TRUE(window_.Ending());
  EXPECT_FALSE(IsWindowVisible(closeCodeDialog_.Window()));
  EXPECT_TRUE(TakeQuit()) << "the message loop ends";

  // No dialog shows any more: nothing answers here.
  window_.ShowMessageBox("Порт уже занят!");
  EXPECT_EQ(window_.AskCloseCode(), CloseCodeAnswer::kCancelled);
}

TEST_F(Win32DriverWindowTest, TheEndOfTheWindowsSessionEndsTheProgramAtOnce) {
  int ended = 0;
  window_.SetSessionEndHandler([&] { ++ended; });
  EXPECT_EQ(SendMessageW(window_.Handle(), WM_QUERYENDSESSION, 0, 0), TRUE);
  SendMessageW(window_.Handle(), WM_ENDSESSION, FALSE, 0);  // another program refused it
  EXPECT_EQ(ended, 0);
  SendMessageW(window_.Handle(), WM_ENDSESSION, TRUE, 0);
  EXPECT_EQ(ended, 1);
}

// The program is ended while start-up shows that the configured port is busy: start-up stops
// there, before the session starts.
TEST_F(Win32MainWindowTest, EndingDuringTheStartUpMessageStartsNoSession) {
  testing::TempDir dir;
  testing::WriteFileBytes(SettingsPath(dir.Path().string()),
                          "[main]\r\nComPort=COM3\r\n[ServerHost]\r\nAddress=127.0.0.1\r\n");
  testing::FakeClock clock(10000000);
  testing::ManualMainThread mainThread;
  testing::FakeSerialDevice serial;
  serial.openResult = SerialError::kBusy;
  testing::FakeConnectionFactory connections;
  testing::FakeSerialEventLoop serialEvents{clock, [&] { return serial.Readable(); }};

  std::string message;
  WhenShown box(box_.Window(), [&] {
    message = box_.Text();
    window_.EndProgram();
  });
  window_.StartDriver(DriverPlatform{clock, mainThread, serialEvents, serial, connections,
                                     dir.Path().string(), "1.0.0.1"});
  EXPECT_EQ(message, "Порт уже занят. Смените его.");
  EXPECT_TRUE(window_.Ending());
  EXPECT_FALSE(IsWindowVisible(box_.Window()));
  // The session draws its indicator when it starts; the start time comes after it.
  EXPECT_FALSE(window_.IndicatorShown(TForm1::kImage3));
  EXPECT_EQ(TextOf(Control(TForm1::kLabel6)), "");

  mainThread.Stop();
  window_.ShutdownDriver();
  EXPECT_EQ(connections.Count(), 0u);
}

}  // namespace
}  // namespace drv
