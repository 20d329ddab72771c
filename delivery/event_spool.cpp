#include "delivery/event_spool.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "base/error_codes.h"
#include "delivery/message_types.h"

namespace drv {
namespace {

// Held records written per tick once the directory works again: a long backlog must not stall
// the main thread.
constexpr std::size_t kHeldWritesPerTick = 100;
// Held records written ahead of each new frame's records, so the backlog shrinks while events
// arrive.
constexpr std::size_t kHeldWritesPerFrame = 16;
// 0001-01-01 up to the end of 9999-12-31: the clock readings that name a calendar day.
constexpr TDateTime kFirstCalendarTime = -693593.0;
constexpr TDateTime kEndOfCalendar = 2958466.0;

}  // namespace

EventSpool::EventSpool(IClock& clock, std::string spoolPrefix, bool forwarding,
                       std::function<void(int code)> writeErrorCode, std::size_t maxHeldRecords)
    : clock_(clock),
      directory_(std::move(spoolPrefix)),
      forwarding_(forwarding),
      writeErrorCode_(std::move(writeErrorCode)),
      maxHeldRecords_(std::max<std::size_t>(maxHeldRecords, 1)) {}

void EventSpool::SetRecordsQueuedListener(std::function<void()> listener) {
  recordsQueued_ = std::move(listener);
}

void EventSpool::LoadBacklog() {
  // Without a session the files stay where they are, for a run that has one.
  if (!forwarding_) return;
  std::vector<FoundSpoolFile> found = directory_.List();
  SortInSpoolOrder(found, directory_.Location().namePrefix);
  std::deque<Entry> loaded;
  for (const FoundSpoolFile& file : found) {
    std::string path = directory_.Location().directory + file.name;
    SpoolReadError error = SpoolReadError::kNone;
    std::optional<SpoolFileContent> content = ReadSpoolFile(path, &error);
    if (content) {
      loaded.push_back({nextId_++, content->type, std::move(content->payload), std::move(path),
                        file.modifiedNs / 1000000});
    } else if (error == SpoolReadError::kEmpty) {
      // A crash between a file's rename and its flush: it holds nothing, and the station did not
      // get its 05, so it sends the frame again.
      directory_.Remove(path);
    } else if (error != SpoolReadError::kNotFound &&
               directory_.SetAside(path) != SetAsideResult::kGone) {
      // Set aside, or left where it is when even that fails: either way it is not sent.
      ReportError(kErrorSpoolFileDamaged);
    }
  }
  if (loaded.empty()) return;
  {
    std::lock_guard lock(mutex_);
    // Ahead of everything stored since, which can only be nothing at start-up.
    for (Entry& entry : queue_) loaded.push_back(std::move(entry));
    queue_ = std::move(loaded);
  }
  if (recordsQueued_) recordsQueued_();
}

void EventSpool::StoreEventRecords(std::span<const EventRecordBytes> records) {
  if (records.empty()) return;
  try {
    const bool holding = !held_.empty();
    const int64_t storedMs = clock_.UnixTimeMs();
    std::deque<Entry> fresh;
    for (const EventRecordBytes& record : records) {
      const uint64_t id = nextId_++;
      held_.push_back({id, record});
      if (forwarding_) {
        fresh.push_back({id, MsgEventRecord, {record.begin(), record.end()}, {}, storedMs});
      }
    }
    recordsStored_ += records.size();
    // Queued at once: the session may send a record while its file is still being written.
    // Its acknowledgement then finds no file to delete, and the file is deleted once written.
    if (forwarding_) {
      {
        std::lock_guard lock(mutex_);
        for (Entry& entry : fresh) queue_.push_back(std::move(entry));
      }
      if (recordsQueued_) recordsQueued_();
    }

    ForgetAcknowledgedHeld();
    // Behind any older held records, so that the files keep the order of the events.
    AttachFiles(WriteHeld(records.size() + (holding ? kHeldWritesPerFrame : 0)));

    while (held_.size() > maxHeldRecords_) {
      const uint64_t id = held_.front().id;
      held_.pop_front();
      ++droppedRecords_;
      if (!forwarding_) continue;
      std::lock_guard lock(mutex_);
      if (const auto entry = FindLocked(id); entry != queue_.end()) queue_.erase(entry);
    }
  } catch (...) {
    // Only memory exhaustion gets here; the station must still get its answer.
  }
}

void EventSpool::OnTick() {
  try {
    ForgetAcknowledgedHeld();
    AttachFiles(WriteHeld(kHeldWritesPerTick));
  } catch (...) {
    // Tried again at the next tick.
  }
}

void EventSpool::WriteHeldRecords() {
  try {
    ForgetAcknowledgedHeld();
    AttachFiles(WriteHeld(held_.size()));
  } catch (...) {
  }
}

bool EventSpool::HasWaiting() const {
  std::lock_guard lock(mutex_);
  return !queue_.empty();
}

std::optional<QueuedRecord> EventSpool::Oldest() {
  std::lock_guard lock(mutex_);
  if (queue_.empty()) return std::nullopt;
  const Entry& oldest = queue_.front();
  return QueuedRecord{oldest.id, oldest.type, oldest.payload};
}

std::optional<QueuedRecord> EventSpool::Behind(uint64_t id) {
  std::lock_guard lock(mutex_);
  const auto at = FindLocked(id);
  if (at == queue_.end() || std::next(at) == queue_.end()) return std::nullopt;
  return QueuedRecord{std::next(at)->id, std::next(at)->type, std::next(at)->payload};
}

bool EventSpool::Acknowledge(uint64_t id) {
  std::string path;
  {
    std::lock_guard lock(mutex_);
    const auto at = FindLocked(id);
    if (at == queue_.end()) return false;
    path = std::move(at->path);
    queue_.erase(at);
    ++recordsDelivered_;
    lastAcknowledgementMs_ = clock_.UnixTimeMs();
  }
  // A file that cannot be deleted is sent again after a restart: a duplicate, not a loss.
  if (!path.empty()) directory_.Remove(path);
  return true;
}

void EventSpool::PassOver(uint64_t id) {
  std::lock_guard lock(mutex_);
  const auto at = FindLocked(id);
  if (at == queue_.end()) return;
  Entry entry = std::move(*at);
  queue_.erase(at);
  queue_.push_back(std::move(entry));
}

std::size_t EventSpool::QueuedCount() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

DeliveryStatistics EventSpool::Statistics() const {
  DeliveryStatistics statistics;
  statistics.recordsStored = recordsStored_;
  statistics.recordsHeldInMemory = held_.size();
  std::lock_guard lock(mutex_);
  statistics.recordsDelivered = recordsDelivered_;
  statistics.lastAcknowledgementMs = lastAcknowledgementMs_;
  // Without a session nothing is queued: what waits is what could not be written yet.
  statistics.recordsWaiting = forwarding_ ? queue_.size() : held_.size();
  if (forwarding_ && !queue_.empty()) statistics.oldestWaitingStoredMs = queue_.front().storedMs;
  return statistics;
}

std::vector<EventSpool::WrittenFile> EventSpool::WriteHeld(std::size_t limit) {
  const std::size_t count = std::min(limit, held_.size());
  if (count == 0) return {};
  std::string baseName;
  try {
    baseName = FormBaseName();
  } catch (...) {
    ReportError(kErrorSpoolName);
    baseName.clear();  // the files are then named by their suffixes alone: ".dd8", "-1.dd8", ...
  }
  std::vector<NewSpoolFile> files(count);
  for (std::size_t i = 0; i < count; ++i) {
    files[i] = {baseName, SpoolFileBytes(held_[i].bytes)};
  }
  std::vector<std::string> paths;
  const std::size_t written = directory_.WriteNew(files, &paths);

  std::vector<WrittenFile> result;
  result.reserve(written);
  for (std::size_t i = 0; i < written; ++i) {
    result.push_back({held_.front().id, std::move(paths[i])});
    held_.pop_front();
  }
  if (written == count) {
    spoolFailing_ = false;
  } else if (!spoolFailing_) {
    // One line per run of failures: the log would otherwise grow with every event.
    spoolFailing_ = true;
    ReportError(kErrorSpoolWrite);
  }
  return result;
}

void EventSpool::AttachFiles(std::vector<WrittenFile> files) {
  if (!forwarding_ || files.empty()) return;
  std::vector<std::string> acknowledged;
  {
    std::lock_guard lock(mutex_);
    for (WrittenFile& file : files) {
      if (const auto entry = FindLocked(file.id); entry != queue_.end()) {
        entry->path = std::move(file.path);
      } else {
        acknowledged.push_back(std::move(file.path));
      }
    }
  }
  // The server had the record before its file was written: the file is not needed.
  for (const std::string& path : acknowledged) directory_.Remove(path);
}

void EventSpool::ForgetAcknowledgedHeld() {
  if (!forwarding_ || held_.empty()) return;
  std::lock_guard lock(mutex_);
  std::erase_if(held_,
                [this](const HeldRecord& record) { return FindLocked(record.id) == queue_.end(); });
}

std::string EventSpool::FormBaseName() {
  const TDateTime now = clock_.Now();
  if (!(now >= kFirstCalendarTime && now < kEndOfCalendar)) {
    throw std::out_of_range("clock reading outside the calendar");
  }
  std::string name = SpoolFileName(DecodeDateTime(now));
  name.resize(name.size() - kSpoolFileExtension.size());
  return name;
}

std::deque<EventSpool::Entry>::iterator EventSpool::FindLocked(uint64_t id) {
  return std::find_if(queue_.begin(), queue_.end(),
                      [id](const Entry& entry) { return entry.id == id; });
}

void EventSpool::ReportError(int code) const {
  try {
    writeErrorCode_(code);
  } catch (...) {
    // The error log is out of reach too; nothing more can be done about it here.
  }
}

}  // namespace drv
