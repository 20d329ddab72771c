#include "tools/station/station_stats.h"

#include <algorithm>
#include <cmath>

namespace drv::station {
namespace {

std::string Milliseconds(std::optional<int64_t> value) {
  return value ? std::to_string(*value) + " ms" : "- ms";
}

}  // namespace

std::optional<int64_t> Percentile(std::vector<int64_t> values, double percent) {
  if (values.empty()) return std::nullopt;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(std::ceil(percent / 100.0 * values.size()));
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

std::string StationStats::SummaryLine() const {
  return "summary frames " + std::to_string(frames) + " sent " + std::to_string(sent) +
         " acknowledged " + std::to_string(acknowledged) + " refused " + std::to_string(refused) +
         " unanswered " + std::to_string(unanswered) + " given-up " + std::to_string(givenUp) +
         " latency p50 " + Milliseconds(Percentile(latenciesMs, 50)) + " p99 " +
         Milliseconds(Percentile(latenciesMs, 99)) + " max " +
         Milliseconds(Percentile(latenciesMs, 100));
}

}  // namespace drv::station
