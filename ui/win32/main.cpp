// drvtirval2000n.exe: the receiver driver program on Windows. One main window with its
// notification-area icon, or, with --no-window, none that is ever shown (a service); the driver's
// logic runs on the message loop and on the session thread.
#include <objbase.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "app/driver.h"
#include "base/clock.h"
#include "base/file_io.h"
#include "base/version.h"
#include "base/win_text.h"
#include "delivery/tcp_connection.h"
#include "receiver/serial_device_win.h"
#include "ui/command_line.h"
#include "ui/service_notifier.h"
#include "ui/service_run.h"
#include "ui/win32/close_code_dialog.h"
#include "ui/win32/main_thread_win32.h"
#include "ui/win32/main_window.h"
#include "ui/win32/message_box.h"
#include "ui/win32/serial_event_loop_win32.h"
#include "ui/win32/service_window.h"

namespace {

constexpr char kUsage[] =
    "Usage: drvtirval2000n [--no-window | --help | --version]\r\n"
    "\r\n"
    "Receiver driver of the monitoring centre: answers and decodes the receiving station's\r\n"
    "frames on a serial port and delivers the events to the message server.\r\n"
    "\r\n"
    "Runs in the current working directory: settings drvtirval2000n.ini, error log error.txt,\r\n"
    "frame log log\\, spool files. Ends through the window's close code, on Ctrl-C or "
    "Ctrl-Break\r\n"
    "in the console it was started from, or when the Windows session ends.\r\n"
    "\r\n"
    "Options:\r\n"
    "  --no-window  run without a window, as a service: the window's lines and messages go to\r\n"
    "               standard error, a busy or missing port is tried again every 5 seconds,\r\n"
    "               and only Ctrl-C, Ctrl-Break or the end of the session end the driver\r\n"
    "  --help       show this text and exit\r\n"
    "  --version    show the version and exit\r\n"
    "\r\n"
    "Environment:\r\n"
    "  DRVTIRVAL_CLOSE_CODE_FILE  write the close code to this file at start-up (service hook)\r\n";

// The window that ends the program, and how to tell it, for the console's handler, which runs on
// a thread of its own; null until the window exists.
std::atomic<HWND> g_endWindow{nullptr};
std::atomic<void (*)(HWND)> g_postEndProgram{nullptr};
// Set once the driver is shut down: a console that closes waits for it before the system ends
// the process.
HANDLE g_shutDown = nullptr;

// A program of the windows subsystem has no console of its own: started from one, it writes to
// that console; with its output redirected, to the file or pipe it was given.
// Looked up once per stream: the run without a window writes every line through here.
HANDLE OutputHandle(DWORD stream) {
  HANDLE out = GetStdHandle(stream);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) {
    AttachConsole(ATTACH_PARENT_PROCESS);
    out = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, 0, nullptr);
  }
  return out;
}

void Write(DWORD stream, const std::string& text) {
  static const HANDLE standardOutput = OutputHandle(STD_OUTPUT_HANDLE);
  static const HANDLE standardError = OutputHandle(STD_ERROR_HANDLE);
  HANDLE out = stream == STD_OUTPUT_HANDLE ? standardOutput : standardError;
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// Ctrl-C, Ctrl-Break and the console's end end the program as an accepted close does.
BOOL WINAPI OnConsoleControl(DWORD event) {
  HWND window = g_endWindow.load();
  void (*postEndProgram)(HWND) = g_postEndProgram.load();
  if (window == nullptr || postEndProgram == nullptr) return FALSE;
  postEndProgram(window);
  // The system ends the process when this returns from a closing console, a log-off or a
  // shutdown: the driver is shut down first, within the system's few seconds.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    WaitForSingleObject(g_shutDown, 4000);
  }
  return TRUE;
}

// `dialogWindow`: Tab and the arrow keys move between its controls; null for none.
int RunMessageLoop(HWND dialogWindow) {
  MSG message{};
  BOOL got = 0;
  while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
    if (dialogWindow != nullptr && IsDialogMessageW(dialogWindow, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return got == 0 ? static_cast<int>(message.wParam) : 1;
}

std::vector<std::string> Arguments(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(drv::WideToUtf8(argv[i]));
  return arguments;
}

// What both ways of running share: the driver's platform on the message loop and the close code
// hook. Built on the main thread.
struct Program {
  explicit Program(std::string directory) : workingDirectory(std::move(directory)) {}

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
    const wchar_t* path = _wgetenv(drv::Utf8ToWide(drv::kCloseCodeFileVariable).c_str());
    if (path == nullptr || *path == L'\0') return nullptr;
    return [file = drv::WideToUtf8(path)](const std::string& code) {
      if (!drv::WriteCloseCodeFile(file, code)) {
        Write(STD_ERROR_HANDLE,
              std::string(drv::kDriverProgramName) + ": cannot write " + file + "\n");
      }
    };
  }

  const std::string workingDirectory;
  drv::SystemClock clock;
  drv::Win32MainThread mainThread;
  // Outlives the driver, whose port stops watching the device when it closes.
  drv::Win32SerialEventLoop serialEvents{clock, mainThread};
  drv::WinSerialDevice serialDevice;
  drv::TcpConnectionFactory connections;
};

int RunWithWindow(Program& program) {
  // The message box exists before the window's start-up, which may need it.
  drv::Tadvsm messageBox;
  drv::TForm1 window(messageBox);
  g_postEndProgram = drv::TForm1::PostEndProgram;
  g_endWindow = window.Handle();

  window.SetSessionEndHandler([&] {
    window.EndProgram();
    program.mainThread.Stop();
    window.ShutdownDriver();
    SetEvent(g_shutDown);
    PostQuitMessage(0);
  });
  if (auto observer = Program::CloseCodeObserver()) window.SetCloseCodeObserver(observer);

  window.StartDriver(program.Platform());
  drv::TForm2 closeCodeDialog;
  window.AttachCloseCodeDialog(closeCodeDialog);

  int status = 0;
  // An end from outside during start-up has already ended the program.
  if (!window.Ending()) {
    window.Show();
    status = RunMessageLoop(window.Handle());
  }

  // No worker may wait for the main thread any more: the session is joined next.
  program.mainThread.Stop();
  window.ShutdownDriver();
  g_endWindow = nullptr;
  return status;
}

int RunWithoutWindow(Program& program) {
  drv::ServiceNotifier notifier;
  drv::ServiceWindow* tickWindow = nullptr;
  drv::ServiceRun run(program.clock, notifier,
                      {[&tickWindow](bool on) {
                         if (tickWindow != nullptr) tickWindow->RunTick(on);
                       },
                       [](const std::string& line) { Write(STD_ERROR_HANDLE, line + "\r\n"); }});
  drv::ServiceWindow window({[&run] { run.OnTick(); },
                             [&run] {
                               run.EndProgram();
                               PostQuitMessage(0);
                             },
                             [&] {
                               run.EndProgram();
                               program.mainThread.Stop();
                               run.Shutdown();
                               SetEvent(g_shutDown);
                               PostQuitMessage(0);
                             }});
  tickWindow = &window;
  g_postEndProgram = drv::ServiceWindow::PostEndProgram;
  g_endWindow = window.Handle();
  if (auto observer = Program::CloseCodeObserver()) run.Window().SetCloseCodeObserver(observer);

  int status = 0;
  if (run.Start(program.Platform())) status = RunMessageLoop(nullptr);
  if (status == 0) status = run.ExitStatus();

  program.mainThread.Stop();
  run.Shutdown();
  g_endWindow = nullptr;
  tickWindow = nullptr;
  return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const drv::CommandLineRequest request = drv::ParseCommandLine(Arguments(argc, argv));
  switch (request.action) {
    case drv::CommandLineAction::kHelp:
      Write(STD_OUTPUT_HANDLE, kUsage);
      return 0;
    case drv::CommandLineAction::kVersion:
      Write(STD_OUTPUT_HANDLE, drv::VersionText(DRV_VERSION_TEXT));
      return 0;
    case drv::CommandLineAction::kBadArgument:
      Write(STD_ERROR_HANDLE, drv::BadArgumentText(request.badArgument));
      return drv::kBadCommandLineStatus;
    case drv::CommandLineAction::kRun:
      break;
  }

  std::error_code error;
  const std::string workingDirectory = drv::CurrentDirectory(error);
  if (error) {
    Write(STD_ERROR_HANDLE, std::string(drv::kDriverProgramName) +
                                ": cannot read the working directory: " + error.message() + "\n");
    return 1;
  }

  // The pictures are decoded through COM, on this thread.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  g_shutDown = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // Started from a console, its Ctrl-C reaches the driver.
  AttachConsole(ATTACH_PARENT_PROCESS);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);

  Program program(workingDirectory);
  const int status = request.window ? RunWithWindow(program) : RunWithoutWindow(program);
  SetEvent(g_shutDown);
  return status;
}
