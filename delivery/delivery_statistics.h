#pragma once

#include <cstdint>
#include <optional>

namespace drv {

// How the delivery stands, for the health file. Counters count from the start of the run and
// never go back; the rest describes the moment of reading. Times are wall-clock milliseconds
// since 1970 (IClock::UnixTimeMs).
struct DeliveryStatistics {
  // Records of answered frames that the spool took: written to disk, or held in memory.
  uint64_t recordsStored = 0;
  // Records the server acknowledged; their spool files are gone.
  uint64_t recordsDelivered = 0;
  // Records not yet acknowledged: spool files and records held in memory.
  uint64_t recordsWaiting = 0;
  // Of those, the records held in memory because the spool directory could not take them.
  uint64_t recordsHeldInMemory = 0;
  // When the oldest waiting record was stored (its file's time for files of earlier runs).
  std::optional<int64_t> oldestWaitingStoredMs;
  // The server's last acknowledgement of a record in this run.
  std::optional<int64_t> lastAcknowledgementMs;
};

}  // namespace drv
