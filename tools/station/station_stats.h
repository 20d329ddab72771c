#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace drv::station {

// Nearest-rank percentile (the smallest value with at least `percent` of the values at or
// below it); nullopt for no values.
std::optional<int64_t> Percentile(std::vector<int64_t> values, double percent);

// Counts of one run. Every transmission of a frame, resends included, counts as sent and ends
// acknowledged (05), refused (07) or unanswered; a frame that was never acknowledged after its
// last resend is given up.
struct StationStats {
  int frames = 0;
  int sent = 0;
  int acknowledged = 0;
  int refused = 0;
  int unanswered = 0;
  int givenUp = 0;
  std::vector<int64_t> latenciesMs;  // of the replies that came

  // "summary frames 2 sent 3 acknowledged 2 refused 1 unanswered 0 given-up 0
  //  latency p50 12 ms p99 40 ms max 40 ms" on one line; "-" for latencies without replies.
  std::string SummaryLine() const;
};

}  // namespace drv::station
