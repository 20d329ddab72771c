#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/operator_window.h"
#include "base/clock.h"

namespace drv {

// The operator window of a driver that runs without one (a service): what the window would show
// becomes lines of text for the journal, each starting with the date and time as the display
// list's lines do. The lines of the display list go out as they are; message-box texts go out
// and into the error log, since nobody is there to read the box; the link indicators' changes
// become lines of their own. No dialog: a close request is always cancelled, so only the end of
// the program from outside (a signal) ends it. Toolkit-free; main thread only.
class JournalWindow final : public IOperatorWindow {
 public:
  struct Parts {
    // Writes one line (without its line end) to the journal: standard error in the program.
    std::function<void(const std::string& line)> writeLine;
    // The program is ending: the lifecycle's Ending().
    std::function<bool()> ending;
  };

  JournalWindow(IClock& clock, Parts parts);

  // Where message-box texts go besides the journal; nowhere until it is set.
  void SetErrorLogPath(std::string path) { errorLogPath_ = std::move(path); }

  // A line of the driver's own about itself, with the date and time before it.
  void Note(const std::string& text);

  // Told the close code as soon as it is drawn (a service and test hook of the program).
  void SetCloseCodeObserver(std::function<void(const std::string&)> observer) {
    closeCodeObserver_ = std::move(observer);
  }

  // IDisplayList
  std::size_t LineCount() const override { return 0; }
  void DeleteFirstLine() override {}
  void AppendLine(const std::string& line) override;

  // IPortControlsView: the port controls keep their run state in the start/stop caption.
  std::string StartStopCaption() const override { return startStopCaption_; }
  void SetStartStopCaption(const std::string& caption) override { startStopCaption_ = caption; }
  void SetScanEnabled(bool) override {}
  void SetPortListEnabled(bool) override {}
  void ClearPortList() override { portList_.clear(); }
  void AppendPortListItem(const std::string& name) override { portList_.push_back(name); }
  int PortListCount() const override { return static_cast<int>(portList_.size()); }
  void SetPortListIndex(int index) override;
  std::string PortListText() const override { return portListText_; }

  // IOperatorWindow
  void ShowMessageBox(const std::string& text) override;
  CloseCodeAnswer AskCloseCode() override { return CloseCodeAnswer::kCancelled; }
  bool Ending() const override { return parts_.ending && parts_.ending(); }
  // Frames are in the frame log when it is on; the journal gets the status lines only, as the
  // window does until the operator ticks its box.
  bool FrameDisplayEnabled() const override { return false; }
  void DrawStationIndicator(bool linkUp) override;
  void DrawServerIndicator(bool linkUp, int barPosition) override;
  void SetBannerCaption(const std::string&) override {}
  void SetSecondServerRowVisible(bool) override {}
  void ShowCloseCode(const std::string& code) override;
  void ShowStartTime(const std::string&) override {}

 private:
  IClock& clock_;
  std::string errorLogPath_;
  Parts parts_;
  std::function<void(const std::string&)> closeCodeObserver_;
  std::string startStopCaption_;
  std::vector<std::string> portList_;
  std::string portListText_;
  // Both links count as down until a drawing says otherwise.
  bool stationLinkUp_ = false;
  bool serverLinkUp_ = false;
};

// The lines for a change of a link indicator.
inline constexpr char kStationLinkUpLine[] = "station link up";
inline constexpr char kStationLinkLostLine[] =
    "station link lost: no frame within the allowed silence";
inline constexpr char kServerLinkUpLine[] = "message server link up";
inline constexpr char kServerLinkLostLine[] = "message server link lost";

}  // namespace drv
