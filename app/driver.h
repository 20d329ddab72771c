#pragma once

#include <memory>
#include <string>

#include "app/operator_window.h"
#include "base/clock.h"
#include "base/main_thread.h"
#include "receiver/serial_event_loop.h"

namespace drv {

class ISerialDevice;
class IConnectionFactory;

// The platform the driver runs on: real implementations in the program, fakes in tests.
struct DriverPlatform {
  IClock& clock;
  IMainThread& mainThread;
  // Where the serial port learns of its device's input and times its packets.
  ISerialEventLoop& serialEvents;
  ISerialDevice& serialDevice;
  IConnectionFactory& connections;
  // The start directory: settings file, error log, frame log and a relative spool prefix.
  std::string workingDirectory;
  // Four-part version text reported to the message server.
  std::string versionText;
};

// The main window's state and handlers, without any toolkit: settings, serial port, frame
// decoder, interpretation, spool, session and link supervision, wired as one driver.
class Driver {
 public:
  Driver(const DriverPlatform& platform, IOperatorWindow& window);
  ~Driver();
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // Start-up, in order; shows the busy-port message through the window when needed. Stops after
  // that message, before the session starts, when the program is ending meanwhile.
  void StartUp();
  // The 200 ms tick: held records to the spool directory, then the station link check.
  void OnTick();
  // The port controls: rebuild the port list, start or stop the port, take the operator's pick.
  void RescanPorts();
  void StartOrStop();
  void SaveChosenPort();
  // Asks for the close code; true when the window may close (the port is closed by then).
  bool RequestClose();
  // End of the program: closes the port and stops the session without sending anything.
  void Shutdown();

  bool StationLinkUp() const;
  std::string CloseCode() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace drv
