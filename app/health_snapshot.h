#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "delivery/delivery_statistics.h"
#include "receiver/frame_decoder.h"

namespace drv {

// The states whose every change the health file shows at once.
struct LinkStates {
  bool portOpen = false;
  bool stationLinkUp = false;
  bool serverConnected = false;
  bool serverIntroduced = false;

  bool operator==(const LinkStates&) const = default;
};

// How the driver stands at one moment, as the health file shows it. Counters count from the
// start of the run; times are wall-clock milliseconds since 1970 (IClock::UnixTimeMs). A new
// figure is a field here and a line in the health text's table of metrics.
struct HealthSnapshot {
  // Tells several drivers on one machine apart (a label of every metric).
  std::string driverName;
  std::string version;
  int64_t startUnixMs = 0;
  // When the snapshot was taken: ages count to it.
  int64_t nowUnixMs = 0;

  FrameCounts frames;
  std::optional<int64_t> lastFrameUnixMs;
  DeliveryStatistics delivery;
  uint64_t recordsSentAgain = 0;
  uint64_t recordsPassedOver = 0;

  LinkStates links;

  // Errors reported to the error log, by code.
  std::map<int, uint64_t> errorsByCode;
};

}  // namespace drv
