#include "receiver/link_supervision.h"

#include <utility>

#include "base/error_codes.h"

namespace drv {

LinkSupervisor::LinkSupervisor(IClock& clock, TDateTime attention,
                               std::function<TDateTime()> lastFrameTime,
                               std::function<void(bool linkUp)> redraw,
                               std::function<void(int code)> writeErrorCode)
    : clock_(clock),
      attention_(attention),
      lastFrameTime_(std::move(lastFrameTime)),
      redraw_(std::move(redraw)),
      writeErrorCode_(std::move(writeErrorCode)) {}

void LinkSupervisor::Tick() {
  try {
    const TDateTime now = clock_.Now();
    stationLinkUp_ = now <= lastFrameTime_() + attention_;
    // Compared with what the indicator shows rather than with the previous judgement, so that a
    // redraw that failed is made again at the next tick instead of leaving a stale indicator.
    if (stationLinkUp_ != drawnLinkUp_) {
      redraw_(stationLinkUp_);
      drawnLinkUp_ = stationLinkUp_;
    }
  } catch (...) {
    try {
      writeErrorCode_(kErrorLinkCheck);
    } catch (...) {
      // The error log is out of reach as well; the tick must not end the program.
    }
  }
}

}  // namespace drv
