#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/health_snapshot.h"
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
  // The 200 ms tick: held records to the spool directory, the station link check, then the
  // health file when it is due.
  void OnTick();
  // The port controls: rebuild the port list, start or stop the port, take the operator's pick.
  void RescanPorts();
  void StartOrStop();
  void SaveChosenPort();
  // Without a window nobody picks another port: the configured port, which start-up found busy
  // or missing, is tried again. True when it opened now.
  bool ReopenConfiguredPort();
  // How long the open port's reads have been failing without one succeeding, in milliseconds;
  // empty while they work or the port is closed.
  std::optional<uint64_t> PortFailingForMs() const;
  // Without a window nobody restarts a port whose line hung up or whose device went away: it is
  // closed, and ReopenConfiguredPort takes it up again. True when it closed now.
  bool CloseFailedPort();
  // Asks for the close code; true when the window may close (the port is closed by then).
  bool RequestClose();
  // End of the program: closes the port and stops the session without sending anything, then
  // writes the health file a last time.
  void Shutdown();

  bool PortOpen() const;
  bool StationLinkUp() const;
  std::string CloseCode() const;
  // How the driver stands now, as the health file shows it.
  HealthSnapshot Health() const;
  // The health file written, or empty when the settings name none.
  std::string HealthFilePath() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace drv
