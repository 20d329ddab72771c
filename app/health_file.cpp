#include "app/health_file.h"

#include <utility>

#include "app/health_text.h"

namespace drv {

HealthFileWriter::HealthFileWriter(IClock& clock, std::string path, uint32_t intervalMs,
                                   WriteFile write, std::function<void()> reportFailure)
    : clock_(clock),
      path_(std::move(path)),
      intervalMs_(intervalMs),
      write_(std::move(write)),
      reportFailure_(std::move(reportFailure)) {}

void HealthFileWriter::OnTick(const LinkStates& links,
                              const std::function<HealthSnapshot()>& snapshot) {
  const bool due = !lastAttemptTick_ ||
                   TickDiff(clock_.TickCount(), *lastAttemptTick_) >= intervalMs_ ||
                   links != lastLinks_;
  if (due) WriteNow(snapshot());
}

void HealthFileWriter::WriteNow(const HealthSnapshot& snapshot) {
  lastAttemptTick_ = clock_.TickCount();
  lastLinks_ = snapshot.links;
  try {
    write_(path_, FormatHealthText(snapshot));
    failing_ = false;
  } catch (...) {
    if (!std::exchange(failing_, true) && reportFailure_) reportFailure_();
  }
}

}  // namespace drv
