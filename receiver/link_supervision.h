#pragma once

#include <functional>

#include "base/clock.h"
#include "base/tdatetime.h"

namespace drv {

// Judges the station link by silence on every 200 ms tick: alive while the last complete frame is
// no older than the allowed silence, lost once it is older. Main thread only.
class LinkSupervisor {
 public:
  // attention: the allowed silence in days. lastFrameTime: the local time of the last complete
  // frame. redraw: draws the station-link indicator for the given state, called once per change.
  LinkSupervisor(IClock& clock, TDateTime attention, std::function<TDateTime()> lastFrameTime,
                 std::function<void(bool linkUp)> redraw,
                 std::function<void(int code)> writeErrorCode);

  // Alive when now <= last frame time + attention. A failure, the redraw's included, writes
  // error code 9; the next tick judges again, and retries a redraw that did not go through.
  void Tick();

  // False at start-up, so the first tick that finds the link alive draws the indicator.
  bool StationLinkUp() const { return stationLinkUp_; }

 private:
  IClock& clock_;
  TDateTime attention_;
  std::function<TDateTime()> lastFrameTime_;
  std::function<void(bool)> redraw_;
  std::function<void(int)> writeErrorCode_;
  bool stationLinkUp_ = false;
  // The state the indicator shows; the undrawn indicator at start-up counts as lost.
  bool drawnLinkUp_ = false;
};

}  // namespace drv
