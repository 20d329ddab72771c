#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace drv {

// A spooled message waiting for the server's acknowledgement: an event record, or whatever an
// earlier run left in a spool file.
struct QueuedRecord {
  uint64_t id = 0;
  uint32_t type = 0;
  std::vector<uint8_t> payload;
};

// What the session sees of the spool: the oldest record not yet acknowledged, and the
// acknowledgement that lets it go. Called on the session thread.
class IRecordQueue {
 public:
  virtual ~IRecordQueue() = default;
  virtual std::optional<QueuedRecord> Oldest() const = 0;
  // Done with: it leaves the queue and its spool file is deleted. An id that is no longer the
  // oldest (given up meanwhile) changes nothing.
  virtual void Acknowledge(uint64_t id) = 0;
};

}  // namespace drv
