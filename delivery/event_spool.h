#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/clock.h"
#include "delivery/delivery_statistics.h"
#include "delivery/event_record.h"
#include "delivery/record_queue.h"
#include "delivery/spool_directory.h"

namespace drv {

// Store and forward: every event record is written to a spool file of its own, durably, before
// the station is told that its frame arrived; the session sends the oldest record not yet
// acknowledged, and the server's acknowledgement deletes its file. The files an earlier run left
// go first, oldest first. When the directory cannot take files, records wait in memory, still go
// to the server, and are written as soon as the directory works again.
//
// The main thread stores records and runs the tick; the session thread takes the oldest record
// and acknowledges it. A mutex guards only the queue in memory; no file is touched under it.
class EventSpool final : public IEventSink, public IRecordQueue {
 public:
  // Records that could not be written to disk and are kept in memory to be written later.
  // Beyond this the oldest of them is given up: memory must not run out while the disk is gone.
  static constexpr std::size_t kMaxHeldRecords = 100000;

  // spoolPrefix: see SpoolDirectory. forwarding: false when the driver runs without a session;
  // records are then only spooled, for a later run that has one. errors go to the error log.
  EventSpool(IClock& clock, std::string spoolPrefix, bool forwarding,
             std::function<void(int code)> writeErrorCode,
             std::size_t maxHeldRecords = kMaxHeldRecords);

  // Start-up, before anything is sent: queues the spool files found on disk in the order they
  // were written; damaged ones are set aside.
  void LoadBacklog();

  // Called, on the main thread, whenever records join the queue (the session wakes up).
  void SetRecordsQueuedListener(std::function<void()> listener);

  // The records of one frame: on disk, durably, when this returns; or, when the directory fails,
  // held in memory and queued all the same.
  void StoreEventRecords(std::span<const EventRecordBytes> records) override;

  // Every 200 ms: writes records held in memory, in order, once the directory takes them.
  void OnTick();

  // At the end of the program: a last attempt to put held records on disk.
  void WriteHeldRecords();

  bool HasWaiting() const override;
  std::optional<QueuedRecord> Oldest() override;
  std::optional<QueuedRecord> Behind(uint64_t id) override;
  bool Acknowledge(uint64_t id) override;
  void PassOver(uint64_t id) override;

  // Records stored or found and not yet acknowledged (0 when not forwarding).
  std::size_t QueuedCount() const;
  // Records waiting in memory because their spool files could not be written.
  std::size_t RecordsHeldInMemory() const { return held_.size(); }
  // Held records given up because the memory bound was reached.
  std::size_t RecordsDropped() const { return droppedRecords_; }
  // For the health file; on the main thread.
  DeliveryStatistics Statistics() const;

 private:
  struct Entry {
    uint64_t id = 0;
    uint32_t type = 0;
    std::vector<uint8_t> payload;
    std::string path;      // empty while the record is held in memory
    int64_t storedMs = 0;  // wall-clock time it was stored, or its file was last written
  };
  struct HeldRecord {
    uint64_t id = 0;
    EventRecordBytes bytes{};
  };
  struct WrittenFile {
    uint64_t id = 0;
    std::string path;
  };

  // Writes up to `limit` held records, oldest first; reports the first failure of a run.
  std::vector<WrittenFile> WriteHeld(std::size_t limit);
  // Gives the queued records their files; deletes the files of records acknowledged meanwhile.
  void AttachFiles(std::vector<WrittenFile> files);
  // Forgets held records that the server has acknowledged meanwhile.
  void ForgetAcknowledgedHeld();
  std::string FormBaseName();
  void ReportError(int code) const;
  // The entry of `id` in the queue, or its end; the mutex must be held.
  std::deque<Entry>::iterator FindLocked(uint64_t id);

  IClock& clock_;
  SpoolDirectory directory_;
  const bool forwarding_;
  const std::function<void(int code)> writeErrorCode_;
  const std::size_t maxHeldRecords_;
  std::function<void()> recordsQueued_;

  // Main thread only.
  uint64_t nextId_ = 1;
  std::deque<HeldRecord> held_;
  std::size_t droppedRecords_ = 0;
  bool spoolFailing_ = false;
  uint64_t recordsStored_ = 0;

  // Shared with the session thread: everything not yet acknowledged, oldest first, ids rising.
  mutable std::mutex mutex_;
  std::deque<Entry> queue_;
  uint64_t recordsDelivered_ = 0;
  std::optional<int64_t> lastAcknowledgementMs_;
};

}  // namespace drv
