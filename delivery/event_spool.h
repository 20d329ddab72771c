#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/clock.h"
#include "base/directory_watch.h"
#include "delivery/delivery_statistics.h"
#include "delivery/event_record.h"
#include "delivery/record_queue.h"
#include "delivery/spool_directory.h"

namespace drv {

// Store and forward. Every event record is written to a spool file of its own, durably, before
// the station is told that its frame arrived; the session sends the oldest record waiting, and
// the server's acknowledgement deletes its file. The spool directory is the queue: the files an
// earlier run left go first, oldest first, and files that arrive while the driver runs (carried
// over from another workstation) join behind what waits; a file deleted by hand is not sent.
//
// When the directory cannot take files, records wait in memory in their place, still go to the
// server, and are written as soon as the directory works again, at the latest when the program
// ends. Memory holds at most maxHeldRecords of them: before that bound, frames are refused (the
// station keeps them and sends them again) rather than records dropped.
//
// One driver per spool directory: a lock file in it. A driver that finds the lock taken uses
// nothing of the directory's (it holds its records in memory and tries again now and then).
//
// Memory holds only the names of waiting files, as two numbers each, and reads a file when it is
// sent: a backlog of a million files costs some 30 MB.
//
// The main thread stores records and runs the tick; the session thread takes, acknowledges and
// passes over records; the spool's own thread lists the backlog at start, so that the station is
// answered at once (no record is offered to the session until it is loaded), reads the next
// records' files ahead of the session, and deletes the files of acknowledged records, which
// costs the file system more than anything else a record does: neither stands between one
// record and the next. A mutex guards the queue in memory; no file is touched under it.
class EventSpool final : public IEventSink, public IRecordQueue {
 public:
  // Records held in memory at most; about 100 bytes each.
  static constexpr std::size_t kMaxHeldRecords = 100000;
  // Frames are refused this many records before the bound, so that a block message's records
  // always fit whole.
  static constexpr std::size_t kHeldRecordMargin = 16;
  // How often a directory held by another driver, or missing, is tried again.
  static constexpr uint32_t kDirectoryRetryMs = 5000;
  // Acknowledged files waiting to be deleted at the most: deleting is the slowest step of a
  // drain, and a pile of them would grow without bound and make an orderly end wait for it.
  static constexpr std::size_t kMaxPendingDeletions = 1024;
  // A file that cannot be read for a passing reason is tried again after this.
  static constexpr uint32_t kUnreadableRetryMs = 2000;
  // An empty or too short file younger than this may still be being written: it is tried again
  // rather than set aside.
  static constexpr int64_t kYoungFileMs = 30000;

  enum class DirectoryState { kOwned, kHeldByAnotherDriver, kUnavailable };

  // spoolPrefix: see SpoolDirectory. forwarding: false when the driver runs without a session;
  // records are then only spooled, for a later run that has one. reportError writes a line of
  // the error log and may be called on either thread.
  EventSpool(IClock& clock, std::string spoolPrefix, bool forwarding,
             std::function<void(int code)> reportError,
             std::size_t maxHeldRecords = kMaxHeldRecords);
  ~EventSpool() override;
  EventSpool(const EventSpool&) = delete;
  EventSpool& operator=(const EventSpool&) = delete;

  // Start-up: takes the directory for this driver, removes what a crash left of unfinished
  // writes, and starts loading the files found there. Tells whether another driver holds it.
  DirectoryState Start();

  // Called, on the main thread, whenever records join the queue (the session wakes up).
  void SetRecordsQueuedListener(std::function<void()> listener);

  // The records of one frame: on disk, durably, when this returns true; or, when the directory
  // fails, held in memory. False when neither can be done: nothing of the frame is kept, and the
  // station must not be answered.
  bool StoreEventRecords(std::span<const EventRecordBytes> records) override;

  // Every 200 ms: finishes the backlog's loading, takes in files that arrived, writes records
  // held in memory once the directory takes them, and tries again for a directory not owned.
  void OnTick();

  // At the end of the program: every record held in memory to disk, in bounded batches.
  void WriteHeldRecords();
  // Returns once the files of the records acknowledged so far are deleted.
  void SettleDeletions();

  bool HasWaiting() const override;
  std::optional<QueuedRecord> Oldest() override;
  std::optional<QueuedRecord> Behind(uint64_t id) override;
  bool Acknowledge(uint64_t id) override;
  void PassOver(uint64_t id) override;

  // The files found at start-up are in the queue.
  bool BacklogLoaded() const;
  DirectoryState Directory() const { return directoryState_; }
  // Records waiting for the server (0 when not forwarding).
  std::size_t QueuedCount() const;
  // Records waiting in memory because their spool files could not be written.
  std::size_t RecordsHeldInMemory() const;
  // For the health file; on the main thread.
  DeliveryStatistics Statistics() const;

 private:
  enum class NameKind : uint8_t { kHeld, kCompact, kText };
  // A waiting record: 24 bytes, whatever its name.
  struct Entry {
    uint64_t id = 0;
    int64_t storedMs = 0;  // when it was stored, or its file last written
    uint32_t moment = 0;   // the compact name
    uint16_t suffix = 0;
    NameKind kind = NameKind::kHeld;
  };
  struct HeldRecord {
    uint64_t id = 0;
    TDateTime storedAt = 0.0;
    int64_t storedMs = 0;
    EventRecordBytes bytes{};
  };
  // What the loading thread hands over.
  struct Backlog {
    std::deque<Entry> entries;  // ids are their places in the listing's order
    std::unordered_map<uint64_t, std::string> textNames;
  };
  struct FileToRead {
    uint64_t id = 0;
    std::string path;
    int64_t storedMs = 0;
  };

  DirectoryState TryTakeDirectory();
  void StartLoadingBacklog();
  void WorkerMain();
  Backlog LoadBacklog();
  // Reads the files of the records behind `id` into the cache, on the spool's own thread.
  void ReadAhead(uint64_t id);
  void RequestReadAhead(uint64_t id);
  std::optional<QueuedRecord> CachedLocked(uint64_t id) const;
  void MergeBacklog();
  void TakeArrivals();
  void Rescan();
  // Queues files found in the directory, oldest first among themselves, behind what waits;
  // with `leaveOutWaiting`, names already waiting are left out.
  void QueueFoundFiles(std::vector<FoundSpoolFile> found, bool leaveOutWaiting);
  // Writes up to `limit` held records, oldest first; how many it wrote.
  std::size_t WriteSomeHeld(std::size_t limit);
  void NoteWriteOutcome(bool allWritten);
  void NoteOwnName(const std::string& name);
  std::string FormBaseName(TDateTime at);
  void NotifyQueued();
  void ReportError(int code) const;

  std::optional<QueuedRecord> FirstSendable(std::optional<uint64_t> behind);
  // The entry for a name as written in the directory (with the name prefix); the mutex must be
  // held when textNames is the spool's own.
  Entry EntryForName(uint64_t id, int64_t storedMs, const std::string& name,
                     std::unordered_map<uint64_t, std::string>& textNames) const;
  std::string PathOfLocked(const Entry& entry) const;
  std::string NameOfLocked(const Entry& entry) const;
  std::deque<Entry>::iterator FindLocked(uint64_t id, bool fromBack = false);
  void ForgetLocked(std::deque<Entry>::iterator entry);
  std::deque<HeldRecord>::iterator FindHeldLocked(uint64_t id);

  IClock& clock_;
  SpoolDirectory directory_;
  const bool forwarding_;
  const std::function<void(int code)> reportError_;
  const std::size_t maxHeldRecords_;
  std::function<void()> recordsQueued_;

  // Main thread only.
  DirectoryState directoryState_ = DirectoryState::kUnavailable;
  uint32_t lastDirectoryAttemptTick_ = 0;
  bool anotherDriverReported_ = false;
  bool spoolFailing_ = false;
  bool refusing_ = false;
  uint64_t nextId_ = 1;
  uint64_t recordsStored_ = 0;
  std::unique_ptr<DirectoryWatch> watch_;
  // Names this driver wrote, newest first by generation: an arrival of one of them is its own.
  std::set<std::string> ownNames_[2];
  // While the backlog loads: names written by this run (already queued), and names that arrived
  // (to be queued behind the backlog), both left out of the backlog when it is merged.
  bool loading_ = false;
  std::set<std::string> writtenWhileLoading_;
  std::set<std::string> arrivedWhileLoading_;
  std::atomic<bool> loaderDone_{false};
  Backlog backlog_;  // the worker's, until loaderDone_

  // The spool's own thread and its work.
  std::thread worker_;
  std::mutex workMutex_;
  std::condition_variable workToDo_;
  std::condition_variable workDone_;
  std::condition_variable deletionRoom_;
  bool loadRequested_ = false;
  bool workerLoading_ = false;
  std::deque<std::string> toDelete_;
  bool deleting_ = false;
  std::optional<uint64_t> readAheadBehind_;
  bool stopWorker_ = false;
  std::atomic<bool> stopLoading_{false};

  // Shared with the session thread.
  mutable std::mutex mutex_;
  bool backlogLoaded_ = false;
  std::deque<Entry> queue_;
  std::unordered_map<uint64_t, std::string> textNames_;
  std::deque<HeldRecord> held_;  // ids rising
  std::unordered_map<uint64_t, uint32_t> unreadableSince_;
  // The contents of the files read last and read ahead, newest last.
  std::deque<QueuedRecord> cache_;
  uint64_t recordsDelivered_ = 0;
  std::optional<int64_t> lastAcknowledgementMs_;
};

}  // namespace drv
