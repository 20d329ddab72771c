// drvtirval2000n: the receiver driver program. One main window with its notification-area icon,
// or, with --no-window, no window at all (a service): the driver's logic runs on the Qt event loop
// and on the session thread. Without a window only Qt Core runs: no display is needed.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <QApplication>
#include <QCoreApplication>
#include <QIcon>
#include <QSocketNotifier>
#include <QTimer>

#include "app/driver.h"
#include "app/driver_settings.h"
#include "base/clock.h"
#include "base/version.h"
#include "delivery/tcp_connection.h"
#include "receiver/device_names_posix.h"
#include "receiver/serial_device_posix.h"
#include "ui/command_line.h"
#include "ui/qt/close_code_dialog.h"
#include "ui/qt/main_window.h"
#include "ui/qt/message_box.h"
#include "ui/qt/main_thread_qt.h"
#include "ui/qt/serial_event_loop_qt.h"
#include "ui/qt/style.h"
#include "ui/service_notifier.h"
#include "ui/service_run.h"

namespace {

using drv::kDriverProgramName;

constexpr char kUsage[] =
    "Usage: drvtirval2000n [--no-window | --help | --version]\n"
    "\n"
    "Receiver driver of the monitoring centre: answers and decodes the receiving station's\n"
    "frames on a serial port and delivers the events to the message server.\n"
    "\n"
    "Runs in the current working directory: settings drvtirval2000n.ini, error log error.txt,\n"
    "frame log log/, spool files. Ends through the window's close code, or on SIGTERM/SIGINT.\n"
    "\n"
    "Options:\n"
    "  --no-window  run without a window, as a service: no display is needed, the window's\n"
    "               lines and messages go to standard error, a busy or missing port is tried\n"
    "               again every 5 seconds, and only SIGTERM/SIGINT end the driver\n"
    "  --help       show this text and exit\n"
    "  --version    show the version and exit\n"
    "\n"
    "Environment:\n"
    "  DRVTIRVAL_CLOSE_CODE_FILE  write the close code to this file at start-up (service hook)\n"
    "  NOTIFY_SOCKET, WATCHDOG_USEC\n"
    "                             with --no-window: systemd's readiness, status and watchdog\n"
    "                             notifications (set by systemd for Type=notify units)\n"
    "  QT_QPA_PLATFORM            the Qt platform of the window (xcb, wayland, offscreen)\n";

constexpr int kTickPeriodMs = 200;

int g_signalPipe[2] = {-1, -1};

extern "C" void OnTerminationSignal(int) {
  const int savedErrno = errno;
  const char byte = 1;
  // A full pipe already holds a wake-up; nothing is lost by dropping this one.
  [[maybe_unused]] const ssize_t written = write(g_signalPipe[1], &byte, 1);
  errno = savedErrno;
}

// SIGTERM and SIGINT end the program as an accepted close does; the handler only wakes the event
// loop through a pipe.
bool InstallTerminationSignals() {
  if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return sigaction(SIGTERM, &action, nullptr) == 0 && sigaction(SIGINT, &action, nullptr) == 0;
}

void DrainSignalPipe() {
  char buffer[64];
  while (read(g_signalPipe[0], buffer, sizeof buffer) > 0) {
  }
}

// What both ways of running share: the driver's platform on the Qt event loop, the close code
// hook and the termination signals. Built after the application object.
struct Program {
  explicit Program(std::string directory)
      : workingDirectory(std::move(directory)),
        settingsPath(drv::SettingsPath(workingDirectory)),
        serialDevice([path = settingsPath](const std::string& portName) {
          return drv::DevicePathForPortName(
              portName, [&path](const std::string& key) { return drv::ReadDevicePath(path, key); });
        }) {}

  drv::DriverPlatform Platform() {
    return drv::DriverPlatform{clock,
                               mainThread,
                               serialEvents,
                               serialDevice,
                               connections,
                               workingDirectory,
                               drv::ExecutableVersionText()};
  }

  // The close code observer of the service and test hook, when its variable is set.
  static std::function<void(const std::string&)> CloseCodeObserver() {
    const char* path = std::getenv(drv::kCloseCodeFileVariable);
    if (path == nullptr || *path == '\0') return nullptr;
    return [file = std::string(path)](const std::string& code) {
      if (!drv::WriteCloseCodeFile(file, code)) {
        std::fprintf(stderr, "%s: cannot write %s\n", kDriverProgramName, file.c_str());
      }
    };
  }

  const std::string workingDirectory;
  const std::string settingsPath;
  drv::SystemClock clock;
  drv::QtMainThread mainThread;
  // Outlives the driver, whose port stops watching the device when it closes.
  drv::QtSerialEventLoop serialEvents;
  drv::PosixSerialDevice serialDevice;
  drv::TcpConnectionFactory connections;
  QSocketNotifier signalNotifier{g_signalPipe[0], QSocketNotifier::Read};
};

int RunWithWindow(QApplication& app, Program& program) {
  // A steady caret in the display list: a blinking one would wake the idle driver twice a
  // second for nothing but itself.
  QApplication::setCursorFlashTime(0);
  // The taskbar shows the main window's own title. No application display name: X11 windows
  // would show it after every dialog's title.
  QApplication::setApplicationVersion(DRV_VERSION_TEXT);
  // The window hides in the notification area and the dialogs come and go: only an accepted
  // close or a termination signal ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  drv::InitDriverResources();
  QApplication::setWindowIcon(QIcon(":/drvtirval/driver_icon_32.png"));

  // The message box exists before the window's start-up, which may need it.
  drv::Tadvsm messageBox;
  drv::TForm1 window(messageBox);
  QObject::connect(&program.signalNotifier, &QSocketNotifier::activated, [&window] {
    DrainSignalPipe();
    window.EndProgram();
    QCoreApplication::exit(0);
  });
  QObject::connect(&window, &drv::TForm1::closeAccepted, &app, &QCoreApplication::quit);
  if (auto observer = Program::CloseCodeObserver()) window.SetCloseCodeObserver(observer);

  window.StartDriver(program.Platform());
  drv::TForm2 closeCodeDialog;
  window.AttachCloseCodeDialog(closeCodeDialog);

  int status = 0;
  // A signal during start-up has already ended the program.
  if (!window.Ending()) {
    window.show();
    status = QApplication::exec();
  }

  // No worker may wait for the main thread any more: the session is joined next.
  program.mainThread.Stop();
  window.ShutdownDriver();
  return status;
}

int RunWithoutWindow(Program& program) {
  QTimer tick;
  tick.setInterval(kTickPeriodMs);
  drv::ServiceNotifier notifier;
  drv::ServiceRun run(program.clock, notifier,
                      {[&tick](bool on) { on ? tick.start() : tick.stop(); },
                       [](const std::string& line) {
                         // One write per line: the journal takes each line whole.
                         const std::string text = line + "\n";
                         std::fwrite(text.data(), 1, text.size(), stderr);
                       }});
  QObject::connect(&tick, &QTimer::timeout, [&run] { run.OnTick(); });
  QObject::connect(&program.signalNotifier, &QSocketNotifier::activated, [&run] {
    DrainSignalPipe();
    run.EndProgram();
    QCoreApplication::exit(0);
  });
  if (auto observer = Program::CloseCodeObserver()) run.Window().SetCloseCodeObserver(observer);

  int status = 0;
  if (run.Start(program.Platform())) status = QCoreApplication::exec();
  if (status == 0) status = run.ExitStatus();

  program.mainThread.Stop();
  run.Shutdown();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const drv::CommandLineRequest request =
      drv::ParseCommandLine(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  switch (request.action) {
    case drv::CommandLineAction::kHelp:
      std::fputs(kUsage, stdout);
      return 0;
    case drv::CommandLineAction::kVersion:
      std::fputs(drv::VersionText(DRV_VERSION_TEXT).c_str(), stdout);
      return 0;
    case drv::CommandLineAction::kBadArgument:
      std::fputs(drv::BadArgumentText(request.badArgument).c_str(), stderr);
      return drv::kBadCommandLineStatus;
    case drv::CommandLineAction::kRun:
      break;
  }

  // Dates and times in the workstation's regional formats.
  std::setlocale(LC_ALL, "");
  // Without a window only Qt Core runs: no platform plugin, so no display server is needed.
  std::unique_ptr<QCoreApplication> app;
  if (request.window) {
    app = std::make_unique<QApplication>(argc, argv);
  } else {
    app = std::make_unique<QCoreApplication>(argc, argv);
  }
  // Qt takes the whole locale from the environment too; numbers stay in the C format, as the
  // settings and the protocols write them.
  std::setlocale(LC_NUMERIC, "C");
  QCoreApplication::setApplicationName(kDriverProgramName);

  std::error_code error;
  const std::string workingDirectory = std::filesystem::current_path(error).string();
  if (error) {
    std::fprintf(stderr, "%s: cannot read the working directory: %s\n", kDriverProgramName,
                 error.message().c_str());
    return 1;
  }
  if (!InstallTerminationSignals()) {
    std::fprintf(stderr, "%s: cannot install the signal handlers\n", kDriverProgramName);
    return 1;
  }

  Program program(workingDirectory);
  if (request.window) return RunWithWindow(static_cast<QApplication&>(*app), program);
  return RunWithoutWindow(program);
}
