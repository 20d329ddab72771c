#pragma once

#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/operator_window.h"

namespace drv::testing {

// The window as the driver's logic sees it, recording what it was told to show.
class FakeOperatorWindow final : public IOperatorWindow {
 public:
  // IDisplayList
  std::size_t LineCount() const override { return lines.size(); }
  void DeleteFirstLine() override {
    if (!lines.empty()) lines.pop_front();
  }
  void AppendLine(const std::string& line) override { lines.push_back(line); }

  // IPortControlsView; the form starts in the running appearance.
  std::string StartStopCaption() const override { return caption; }
  void SetStartStopCaption(const std::string& value) override { caption = value; }
  void SetScanEnabled(bool enabled) override { scanEnabled = enabled; }
  void SetPortListEnabled(bool enabled) override { listEnabled = enabled; }
  void ClearPortList() override { portList.clear(); }
  void AppendPortListItem(const std::string& name) override { portList.push_back(name); }
  int PortListCount() const override { return static_cast<int>(portList.size()); }
  void SetPortListIndex(int index) override {
    if (index >= 0 && index < PortListCount()) listText = portList[index];
  }
  std::string PortListText() const override { return listText; }

  // IOperatorWindow
  void ShowMessageBox(const std::string& text) override {
    messages.push_back(text);
    // A close request (a termination signal) that arrives while the box is shown.
    if (closeDuringMessageBox) ending = true;
  }
  bool Ending() const override { return ending; }
  CloseCodeAnswer AskCloseCode() override {
    ++closeCodeRequests;
    // What happens while the dialog is up: another request, the program's end.
    if (whileClosing) whileClosing();
    return closeCodeAnswer;
  }
  bool FrameDisplayEnabled() const override { return frameDisplay; }
  void DrawStationIndicator(bool linkUp) override { stationDrawings.push_back(linkUp); }
  void DrawServerIndicator(bool linkUp, int barPosition) override {
    serverDrawings.emplace_back(linkUp, barPosition);
  }
  void SetBannerCaption(const std::string& value) override { banner = value; }
  void SetSecondServerRowVisible(bool visible) override { secondServerRow = visible; }
  void ShowCloseCode(const std::string& code) override { closeCode = code; }
  void ShowStartTime(const std::string& text) override { startTime = text; }

  std::deque<std::string> lines;
  std::string caption = "Остановить";
  bool scanEnabled = false;
  bool listEnabled = false;
  std::vector<std::string> portList;
  std::string listText;
  std::vector<std::string> messages;
  bool closeDuringMessageBox = false;
  bool ending = false;
  CloseCodeAnswer closeCodeAnswer = CloseCodeAnswer::kCancelled;
  int closeCodeRequests = 0;
  std::function<void()> whileClosing;
  bool frameDisplay = false;
  std::vector<bool> stationDrawings;
  std::vector<std::pair<bool, int>> serverDrawings;
  std::string banner;
  bool secondServerRow = false;
  std::string closeCode;
  std::string startTime;
};

}  // namespace drv::testing
