#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QTimer>
#include <QWidget>

#include "app/driver.h"
#include "app/operator_window.h"
#include "ui/driver_lifecycle.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QSystemTrayIcon;

namespace drv {

class Banner;
class PortListBox;
class TForm2;
class Tadvsm;

// The driver's main window: banner, page buttons, the state page with the indicators, the close
// code and the display list, the settings page with the port controls, and the notification-area
// icon. All logic lives in Driver; the window shows what it is told and forwards the operator's
// actions and its timer.
class TForm1 final : public QWidget, public IOperatorWindow {
  Q_OBJECT

 public:
  enum Page { kStatePage = 0, kSettingsPage = 1 };

  // The message box must outlive the window; it is used from the driver's start-up on.
  explicit TForm1(Tadvsm& messageBox, QWidget* parent = nullptr);
  ~TForm1() override;

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

  // The program is ending from outside (a termination signal): open dialogs are closed as
  // cancelled and no dialog is shown any more. The caller then leaves the event loop.
  void EndProgram();

  // After the event loop: closes the port and stops the session, removes the tray icon.
  void ShutdownDriver();

  // The close request of the window button, the tray menu and every other close.
  void RequestClose();
  // "Восстановить" of the tray menu.
  void RestoreFromTray();
  bool HidesToTray() const;

  QSystemTrayIcon& TrayIcon() const { return *tray_; }
  QMenu& TrayMenu() const { return *trayMenu_; }
  QString BannerCaption() const;
  Page CurrentPage() const;
  void ShowPage(Page page);

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
  // True once the program is ending: an accepted close, or EndProgram.
  bool Ending() const override { return lifecycle_.Ending(); }
  bool FrameDisplayEnabled() const override;
  void DrawStationIndicator(bool linkUp) override;
  void DrawServerIndicator(bool linkUp, int barPosition) override;
  void SetBannerCaption(const std::string& caption) override;
  void SetSecondServerRowVisible(bool visible) override;
  void ShowCloseCode(const std::string& code) override;
  void ShowStartTime(const std::string& text) override;

 signals:
  // The close code was accepted: the window has closed and the program ends.
  void closeAccepted();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private slots:
  // The form's handlers, each passing its event on to the driver.
  void Timer2Timer();
  void PushButton1Click();
  void PushButton2Click();
  void ComboBox1Select();

 private:
  void BuildToolbar();
  QWidget* BuildStatePage();
  QWidget* BuildSettingsPage();
  void BuildTray();

  Tadvsm& messageBox_;
  TForm2* closeCodeDialog_ = nullptr;
  std::function<void(const std::string&)> closeCodeObserver_;
  std::string closeCode_;

  Banner* banner_ = nullptr;
  QButtonGroup* pageButtons_ = nullptr;
  QStackedWidget* pages_ = nullptr;
  QLabel* stationIndicator_ = nullptr;
  QLabel* serverIndicator_ = nullptr;
  QLabel* secondServerIndicator_ = nullptr;
  QLabel* startTimeLabel_ = nullptr;
  QLabel* secondServerCaption_ = nullptr;
  QLabel* closeCodeLabel_ = nullptr;
  QPlainTextEdit* displayList_ = nullptr;
  PortListBox* portList_ = nullptr;
  QPushButton* scanButton_ = nullptr;
  QPushButton* startStopButton_ = nullptr;
  QCheckBox* frameDisplayBox_ = nullptr;
  QMenu* trayMenu_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;

  QTimer tickTimer_;
  DriverLifecycle lifecycle_;
};

}  // namespace drv
