#pragma once

#include <string>

#include "app/close_code.h"
#include "app/port_controls_view.h"
#include "receiver/display_list.h"

namespace drv {

// What the driver's logic needs from the window it lives in. The Qt main window implements it;
// tests use a fake. Every call comes on the main thread.
class IOperatorWindow : public IDisplayList, public IPortControlsView {
 public:
  // Modal; the event loop keeps running meanwhile.
  virtual void ShowMessageBox(const std::string& text) = 0;
  virtual CloseCodeAnswer AskCloseCode() = 0;
  // True once the program is ending: an accepted close, or a termination signal that may arrive
  // while a message box is shown.
  virtual bool Ending() const = 0;
  // The "show incoming frames" check box.
  virtual bool FrameDisplayEnabled() const = 0;
  // Station link indicator (bar always at 0) and message-server link indicator.
  virtual void DrawStationIndicator(bool linkUp) = 0;
  virtual void DrawServerIndicator(bool linkUp, int barPosition) = 0;
  virtual void SetBannerCaption(const std::string& caption) = 0;
  virtual void SetSecondServerRowVisible(bool visible) = 0;
  virtual void ShowCloseCode(const std::string& code) = 0;
  virtual void ShowStartTime(const std::string& text) = 0;
};

}  // namespace drv
