// drvtirval-screenshots: renders the driver's windows to PNG files, for documentation and for a
// look at the layout without a display.
#include <cstdio>
#include <string>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPixmap>

#include "base/program_options.h"
#include "ui/qt/close_code_dialog.h"
#include "ui/qt/main_window.h"
#include "ui/qt/message_box.h"

namespace {

constexpr char kProgramName[] = "drvtirval-screenshots";
constexpr char kUsageHead[] =
    "Usage: drvtirval-screenshots OUTDIR\n"
    "\n"
    "Renders the main window's state and settings pages, the close-code dialog and the message\n"
    "box to PNG files in OUTDIR (created when missing), with sample contents.\n"
    "\n"
    "Options:\n";
// Its options, each with its lines of the --help text.
const drv::ProgramOption kOptions[] = {
    drv::HelpLines(kUsageHead),
    {"--help", drv::ShowsHelp(), "  --help      show this text and exit\n"},
    {"--version", drv::ShowsVersion(), "  --version   show the version and exit\n"},
};

bool Save(QWidget& widget, const QDir& directory, const char* name) {
  widget.show();
  QApplication::processEvents();
  const QString path = directory.filePath(QString::fromLatin1(name));
  if (widget.grab().save(path, "PNG")) {
    std::printf("%s\n", qPrintable(path));
    return true;
  }
  std::fprintf(stderr, "%s: cannot write %s\n", kProgramName, qPrintable(path));
  return false;
}

// What a running driver shows: start time, close code, both links, a few lines.
void FillMainWindow(drv::TForm1& window) {
  window.ShowCloseCode("48213");
  window.ShowStartTime("10.12.2026 09:41:27");
  window.SetSecondServerRowVisible(true);
  window.DrawStationIndicator(true);
  window.DrawServerIndicator(true, 6);
  window.AppendLine("10.12.2026 09:41:28 Соединение с сервером сообщений установлено");
  window.AppendLine("10.12.2026 09:42:03 01 F2 00 1A 03 3E 05 00 07 00 12 2A 0C 0A 1A 00 D3");
  window.AppendLine("10.12.2026 09:42:05 01 45 00 1A 01 02 00 C7");
  window.SetStartStopCaption("Запустить");
  window.SetScanEnabled(true);
  window.SetPortListEnabled(true);
  for (const char* port : {"COM1", "COM3", "COM4"}) window.AppendPortListItem(port);
  window.SetPortListIndex(1);
  if (auto* checkBox = window.findChild<QCheckBox*>("CheckBox1")) checkBox->setChecked(true);
}

}  // namespace

int main(int argc, char** argv) {
  const drv::ProgramCommandLine commandLine =
      drv::ReadCommandLine(kOptions, drv::ArgumentsOf(argc, argv), drv::OperandRule::kAny);
  if (const auto status = drv::AnswerUnlessRun(commandLine, kOptions, kProgramName)) {
    return *status;
  }
  if (commandLine.operands.size() != 1) {
    std::fputs(
        drv::UsageErrorText(kProgramName, "expected one argument, the output directory").c_str(),
        stderr);
    return drv::kUsageErrorStatus;
  }
  const std::string& outputDirectory = commandLine.operands.front();
  // Rendering needs no display.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  const QDir directory(QString::fromLocal8Bit(outputDirectory.c_str()));
  if (!directory.mkpath(".")) {
    std::fprintf(stderr, "%s: cannot create %s\n", kProgramName, outputDirectory.c_str());
    return 1;
  }

  bool ok = true;
  drv::Tadvsm messageBox;
  {
    drv::TForm1 window(messageBox);
    FillMainWindow(window);
    window.ShowPage(drv::TForm1::kStatePage);
    ok &= Save(window, directory, "main_window_state.png");
    window.ShowPage(drv::TForm1::kSettingsPage);
    ok &= Save(window, directory, "main_window_settings.png");
  }
  {
    drv::TForm2 dialog;
    dialog.Entry()->setText("482");
    ok &= Save(dialog, directory, "close_code_dialog.png");
  }
  messageBox.SetText("Порт уже занят. Смените его.");
  ok &= Save(messageBox, directory, "message_box.png");
  return ok ? 0 : 1;
}
