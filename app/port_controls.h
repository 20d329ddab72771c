#pragma once

#include <functional>
#include <string>

#include "app/close_code.h"
#include "app/driver_settings.h"
#include "app/port_controls_view.h"
#include "delivery/session_link.h"
#include "receiver/serial_port_control.h"

namespace drv {

inline constexpr char kCaptionStop[] = "Остановить";
inline constexpr char kCaptionStart[] = "Запустить";
inline constexpr char kMessageConfiguredPortBusy[] = "Порт уже занят. Смените его.";
inline constexpr char kMessagePortBusy[] = "Порт уже занят!";
inline constexpr char kMessageAccessDenied[] = "Неправильный пароль. В доступе отказано";
// Prefix of every device name handed to the port: \\.\ as in \\.\COM3.
inline constexpr char kDevicePrefix[] = "\\\\.\\";
inline constexpr int kScannedPortCount = 32;

struct PortControlsContext {
  ISerialPortControl& port;
  IPortControlsView& view;
  DriverSettings& settings;
  std::function<void(const std::string&)> showMessageBox;  // modal
  std::function<CloseCodeAnswer()> askCloseCode;
  std::function<void(const std::string& portName)> saveComPort;  // throws on failure
  std::function<void(int code)> writeErrorCode;                  // never throws
  ISessionLink* session;  // null when there is no session thread
};

// The "Com порт" group: first opening of the configured port, scan, start/stop and port choice.
// The run state is the start/stop button's caption: running exactly while it reads "Остановить".
class PortControls {
 public:
  explicit PortControls(PortControlsContext context);

  // Before the settings are read: empty the port list.
  void ClearForStartUp();
  // After the settings were read: line speed, then the first opening of the configured port.
  // Sends no port state; the session's introduction carries it.
  void StartUpStep(const std::string& baudRateText);
  // While stopped, with a port configured: opens the configured port as start-up does, and
  // reports the port state. True when it opened.
  bool ReopenConfiguredPort();
  // While running: closes the port whose line has failed, as a stop would but without the close
  // code, so that ReopenConfiguredPort can take it up again, and reports the port state. True
  // when it closed.
  bool CloseFailedPort();
  // "Сканировать заново": lists the ports COM1..COM32 that open, selects the first and takes it
  // as the chosen port.
  void RescanPorts();
  // Stops the running port (with the close code) or opens the port the list shows; a failed
  // start rescans. Reports the port state afterwards in every case.
  void StartOrStop();
  // While stopped: saves the list's text as ComPort and reports it. Run for a pick in the list
  // and at the end of every scan.
  void SaveChosenPort();

 private:
  bool IsRunning() const;
  bool IsStopped() const;
  bool TryOpen(const std::string& portName);
  void ShowRunning();
  void ShowStopped();
  void SelectFirstEntry();
  // Tells the server the port's name and state; a failure to hand it over goes to the error log.
  void ReportPortState();

  PortControlsContext context_;
};

}  // namespace drv
