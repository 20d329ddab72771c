#pragma once

#include <string>
#include <vector>

#include "app/port_controls.h"
#include "app/port_controls_view.h"

namespace drv::testing {

// The "Com порт" group as an editable drop-down list behaves: selecting an entry shows its name,
// selecting nothing empties the text, emptying the list keeps the text. Starts as the window's
// form does: running appearance, list empty and disabled.
class FakePortControlsView final : public IPortControlsView {
 public:
  std::string StartStopCaption() const override { return caption; }
  void SetStartStopCaption(const std::string& value) override { caption = value; }
  void SetScanEnabled(bool enabled) override { scanEnabled = enabled; }
  void SetPortListEnabled(bool enabled) override { listEnabled = enabled; }
  void ClearPortList() override {
    items.clear();
    index = -1;
  }
  void AppendPortListItem(const std::string& name) override { items.push_back(name); }
  int PortListCount() const override { return static_cast<int>(items.size()); }
  void SetPortListIndex(int value) override {
    index = value >= 0 && value < PortListCount() ? value : -1;
    text = index >= 0 ? items[static_cast<std::size_t>(index)] : std::string();
  }
  std::string PortListText() const override { return text; }

  std::string caption = kCaptionStop;
  bool scanEnabled = false;
  bool listEnabled = false;
  std::vector<std::string> items;
  int index = -1;
  std::string text;  // what the operator sees, and may type over
};

}  // namespace drv::testing
