#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace drv {

// A spooled message waiting for the server's acknowledgement: an event record, or whatever an
// earlier run or another workstation left in a spool file.
struct QueuedRecord {
  uint64_t id = 0;
  uint32_t type = 0;
  std::vector<uint8_t> payload;
};

// What the session sees of the spool: the records waiting for the server, oldest first, and the
// acknowledgements that let them go. Called on the session thread.
class IRecordQueue {
 public:
  virtual ~IRecordQueue() = default;
  // Whether any record waits; cheap, reads no file.
  virtual bool HasWaiting() const = 0;
  // The oldest waiting record that can be sent now; it may read its spool file. A record whose
  // file cannot be read at the moment is skipped until it can.
  virtual std::optional<QueuedRecord> Oldest() = 0;
  // The next record that can be sent behind `id`, or nothing.
  virtual std::optional<QueuedRecord> Behind(uint64_t id) = 0;
  // The server has the record: it leaves the queue and its spool file is deleted. False when it
  // was no longer waiting (acknowledged before), which changes nothing.
  virtual bool Acknowledge(uint64_t id) = 0;
  // The server takes other records but not this one: it goes behind every record waiting now,
  // to be tried again after them.
  virtual void PassOver(uint64_t id) = 0;
};

}  // namespace drv
