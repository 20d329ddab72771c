#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/health_snapshot.h"
#include "base/clock.h"

namespace drv {

// Keeps the health file current: written at the first tick, then whenever the interval has
// passed since the last attempt, and at once when a link state changes. Each write replaces the
// whole file, so that a collector never reads half of one. A failed write is reported once, and
// again only after a write has succeeded in between; it is tried again at the next interval.
// Main thread only: the ticks come from there.
class HealthFileWriter {
 public:
  // Writes `text` to `path` whole, or throws (ReplaceFileAtomically in the program).
  using WriteFile = std::function<void(const std::string& path, const std::string& text)>;

  HealthFileWriter(IClock& clock, std::string path, uint32_t intervalMs, WriteFile write,
                   std::function<void()> reportFailure);

  // Every tick, with the link states of now; `snapshot` is asked only when a write is due.
  void OnTick(const LinkStates& links, const std::function<HealthSnapshot()>& snapshot);
  // Writes at once, whatever the timing: the last word at the end of the program.
  void WriteNow(const HealthSnapshot& snapshot);

  const std::string& Path() const { return path_; }

 private:
  IClock& clock_;
  const std::string path_;
  const uint32_t intervalMs_;
  const WriteFile write_;
  const std::function<void()> reportFailure_;
  std::optional<uint32_t> lastAttemptTick_;
  LinkStates lastLinks_;
  bool failing_ = false;
};

}  // namespace drv
