#pragma once

#include <windows.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/driver.h"
#include "app/operator_window.h"
#include "ui/driver_lifecycle.h"
#include "ui/link_indicator.h"

namespace drv {

class TForm2;
class Tadvsm;
class TrayIcon;

// The driver's main window: banner, page buttons, the state page with the indicators, the close
// code and the display list, the settings page with the port controls, and the notification-area
// icon. All logic lives in Driver and DriverLifecycle; the window shows what it is told and
// forwards the operator's actions and its timer.
class TForm1 final : public IOperatorWindow {
 public:
  enum Page { kStatePage = 0, kSettingsPage = 1 };
  // The controls, by the names of the window's form where it has them.
  enum Control {
    kStatePageButton = 1001,
    kSettingsPageButton,
    kImage1,
    kImage2,
    kImage3,
    kLabel6,
    kLabel13,
    kLabel15,
    kMemo1,
    kComboBox1,
    kPushButton1,
    kPushButton2,
    kCheckBox1,
  };

  // The message box must outlive the window; it is used from the driver's start-up on.
  explicit TForm1(Tadvsm& messageBox);
  ~TForm1() override;
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  // Builds the driver on `platform` and runs its start-up; once, before the window is shown.
  void StartDriver(const DriverPlatform& platform);
  Driver* DriverLogic() const { return lifecycle_.DriverLogic(); }

  // The close-code dialog is created after the window; until it is attached nothing can be
  // confirmed and every request counts as cancelled.
  void AttachCloseCodeDialog(TForm2& dialog) { closeCodeDialog_ = &dialog; }

  // Told the close code as soon as it is drawn (a service and test hook of the program).
  void SetCloseCodeObserver(std::function<void(const std::string&)> observer) {
    closeCodeObserver_ = std::move(observer);
  }

  // The program is ending from outside: open dialogs are closed as cancelled and no dialog is
  // shown any more. The caller then leaves the message loop.
  void EndProgram();
  // From any thread (a console's Ctrl-C): EndProgram on the main thread of the main window
  // `window`, then the message loop ends. Nothing happens once the window is gone.
  static void PostEndProgram(HWND window);
  // The Windows session ends (WM_ENDSESSION): the process may be ended as soon as the message is
  // answered, so `handler` ends the program there and then, as the end of the program would.
  void SetSessionEndHandler(std::function<void()> handler) { sessionEnd_ = std::move(handler); }

  // After the message loop: closes the port and stops the session, removes the tray icon.
  void ShutdownDriver();

  // Shows the window for the first time, centred on the screen.
  void Show();
  // The close request of the window button, the tray menu and every other close (WM_CLOSE).
  void RequestClose();
  // "Восстановить" of the tray menu.
  void RestoreFromTray();
  bool HidesToTray() const;

  HWND Handle() const { return window_; }
  HWND ControlWindow(Control control) const;
  TrayIcon& Tray() const { return *tray_; }
  std::string BannerCaption() const { return bannerCaption_; }
  Page CurrentPage() const { return page_; }
  void ShowPage(Page page);
  // The picture an indicator shows; empty before its first drawing.
  const std::optional<IndicatorPixels>& IndicatorShown(Control image) const;

  // IDisplayList
  std::size_t LineCount() const override;
  void DeleteFirstLine() override;
  void AppendLine(const std::string& line) override;

  // IPortControlsView
  std::string StartStopCaption() const override;
  void SetStartStopCaption(const std::string& caption) override;
  void SetScanEnabled(bool enabled) override;
  void SetPortListEnabled(bool enabled) override;
  void ClearPortList() override;
  void AppendPortListItem(const std::string& name) override;
  int PortListCount() const override;
  void SetPortListIndex(int index) override;
  std::string PortListText() const override;

  // IOperatorWindow
  void ShowMessageBox(const std::string& text) override;
  CloseCodeAnswer AskCloseCode() override;
  bool Ending() const override { return lifecycle_.Ending(); }
  bool FrameDisplayEnabled() const override;
  void DrawStationIndicator(bool linkUp) override;
  void DrawServerIndicator(bool linkUp, int barPosition) override;
  void SetBannerCaption(const std::string& caption) override;
  void SetSecondServerRowVisible(bool visible) override;
  void ShowCloseCode(const std::string& code) override;
  void ShowStartTime(const std::string& text) override;

  // The main window's and its pages' messages.
  LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

 private:
  // The form's handlers, each passing its event on to the driver.
  void Timer2Timer();
  void PushButton1Click();
  void PushButton2Click();
  void ComboBox1Select();

  void BuildStatePage();
  void BuildSettingsPage();
  HWND MakeLabel(HWND page, const char* text, int left, int top, int id = 0);
  void SetLabelText(Control label, const std::string& text);
  void OnPortListNotification(WORD notification);
  void Paint(HWND window);
  void PaintBands(HDC dc) const;
  void DrawItem(const DRAWITEMSTRUCT& item);
  LRESULT ControlColours(UINT message, HDC dc, HWND control);
  std::wstring MemoText() const;

  Tadvsm& messageBox_;
  TForm2* closeCodeDialog_ = nullptr;
  std::function<void(const std::string&)> closeCodeObserver_;
  std::function<void()> sessionEnd_;
  std::string closeCode_;
  std::string bannerCaption_;
  Page page_ = kStatePage;

  HWND window_ = nullptr;
  std::array<HWND, 2> pages_{};
  HICON bigIcon_ = nullptr;
  HICON smallIcon_ = nullptr;
  std::optional<IndicatorPixels> stationIndicator_;
  std::optional<IndicatorPixels> serverIndicator_;
  // A pick in the open list waits for the list to close on it (or to be cancelled).
  bool portPickPending_ = false;
  std::unique_ptr<TrayIcon> tray_;
  DriverLifecycle lifecycle_;
};

}  // namespace drv
