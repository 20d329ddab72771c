#include "ui/journal_window.h"

#include <utility>

#include "base/error_log.h"
#include "base/tdatetime.h"

namespace drv {

JournalWindow::JournalWindow(IClock& clock, Parts parts)
    : clock_(clock), parts_(std::move(parts)) {}

void JournalWindow::Note(const std::string& text) {
  parts_.writeLine(FormatDateTime(clock_.Now()) + " " + text);
}

void JournalWindow::AppendLine(const std::string& line) {
  parts_.writeLine(line);
}

void JournalWindow::SetPortListIndex(int index) {
  portListText_ = index >= 0 && index < PortListCount() ? portList_[index] : std::string();
}

void JournalWindow::ShowMessageBox(const std::string& text) {
  if (Ending()) return;
  Note(text);
  if (errorLogPath_.empty()) return;
  try {
    WriteErrorText(errorLogPath_, text);
  } catch (...) {
    // The journal has it; the error log is no error of its own.
  }
}

void JournalWindow::DrawStationIndicator(bool linkUp) {
  if (linkUp == stationLinkUp_) return;
  stationLinkUp_ = linkUp;
  Note(linkUp ? kStationLinkUpLine : kStationLinkLostLine);
}

// Drawn at every turn of the session's loop for the bar; only a change of the link is news.
void JournalWindow::DrawServerIndicator(bool linkUp, int) {
  if (linkUp == serverLinkUp_) return;
  serverLinkUp_ = linkUp;
  Note(linkUp ? kServerLinkUpLine : kServerLinkLostLine);
}

void JournalWindow::ShowCloseCode(const std::string& code) {
  if (closeCodeObserver_) closeCodeObserver_(code);
}

}  // namespace drv
