#pragma once

#include <string>

namespace drv {

// The "Com порт" group of the settings page: port list, start/stop and scan buttons.
class IPortControlsView {
 public:
  virtual ~IPortControlsView() = default;
  virtual std::string StartStopCaption() const = 0;
  virtual void SetStartStopCaption(const std::string& caption) = 0;
  virtual void SetScanEnabled(bool enabled) = 0;
  virtual void SetPortListEnabled(bool enabled) = 0;
  virtual void ClearPortList() = 0;
  virtual void AppendPortListItem(const std::string& name) = 0;
  virtual int PortListCount() const = 0;
  // -1 selects nothing; selecting an entry shows its name as the list's text.
  virtual void SetPortListIndex(int index) = 0;
  // The text shown in the (editable) list.
  virtual std::string PortListText() const = 0;
};

}  // namespace drv
