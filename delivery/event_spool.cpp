#include "delivery/event_spool.h"

#include <algorithm>
#include <stdexcept>
#include <tuple>
#include <unordered_set>
#include <utility>

#include "base/error_codes.h"
#include "delivery/message_types.h"

namespace drv {
namespace {

// Held records written per tick once the directory works again, and per batch at the end: a
// long backlog must neither stall the main thread nor keep many files open at once.
constexpr std::size_t kHeldWritesPerTick = 256;
// Records whose files are read ahead of the session.
constexpr std::size_t kReadAhead = 4;
// 0001-01-01 up to the end of 9999-12-31: the clock readings that name a calendar day.
constexpr TDateTime kFirstCalendarTime = -693593.0;
constexpr TDateTime kEndOfCalendar = 2958466.0;

bool IsPassingFailure(SpoolReadError error) {
  return error == SpoolReadError::kCannotOpen || error == SpoolReadError::kReadFailed;
}

// A file that may still be being written by whoever puts it there.
bool MayStillBeWritten(SpoolReadError error) {
  return error == SpoolReadError::kEmpty || error == SpoolReadError::kTooShort;
}

}  // namespace

EventSpool::EventSpool(IClock& clock, std::string spoolPrefix, bool forwarding,
                       std::function<void(int code)> reportError, std::size_t maxHeldRecords)
    : clock_(clock),
      directory_(std::move(spoolPrefix)),
      forwarding_(forwarding),
      reportError_(std::move(reportError)),
      maxHeldRecords_(std::max(maxHeldRecords, kHeldRecordMargin + 1)) {
  worker_ = std::thread(&EventSpool::WorkerMain, this);
}

EventSpool::~EventSpool() {
  stopLoading_ = true;
  {
    std::lock_guard lock(workMutex_);
    stopWorker_ = true;
  }
  workToDo_.notify_all();
  deletionRoom_.notify_all();
  worker_.join();
}

void EventSpool::WorkerMain() {
  std::unique_lock lock(workMutex_);
  for (;;) {
    workToDo_.wait(lock, [this] {
      return stopWorker_ || loadRequested_ || !toDelete_.empty() || readAheadBehind_;
    });
    if (loadRequested_) {
      loadRequested_ = false;
      workerLoading_ = true;
      deletionRoom_.notify_all();
      lock.unlock();
      Backlog loaded = LoadBacklog();
      lock.lock();
      workerLoading_ = false;
      backlog_ = std::move(loaded);
      loaderDone_ = true;
      continue;
    }
    if (!toDelete_.empty()) {
      // Acknowledged files go even at the end: otherwise they would be sent again next time.
      const std::string path = std::move(toDelete_.front());
      toDelete_.pop_front();
      deletionRoom_.notify_all();
      deleting_ = true;
      lock.unlock();
      // A file that cannot be deleted is sent again after a restart: a duplicate, not a loss.
      directory_.Remove(path);
      lock.lock();
      deleting_ = false;
      if (toDelete_.empty()) workDone_.notify_all();
      continue;
    }
    if (readAheadBehind_) {
      const uint64_t id = *std::exchange(readAheadBehind_, std::nullopt);
      lock.unlock();
      ReadAhead(id);
      lock.lock();
      continue;
    }
    if (stopWorker_) return;
  }
}

void EventSpool::RequestReadAhead(uint64_t id) {
  {
    std::lock_guard lock(workMutex_);
    readAheadBehind_ = id;
  }
  workToDo_.notify_all();
}

void EventSpool::ReadAhead(uint64_t id) {
  std::vector<FileToRead> files;
  {
    std::lock_guard lock(mutex_);
    auto entry = FindLocked(id);
    if (entry == queue_.end()) return;
    for (++entry; entry != queue_.end() && files.size() < kReadAhead; ++entry) {
      if (entry->kind == NameKind::kHeld || unreadableSince_.contains(entry->id) ||
          CachedLocked(entry->id)) {
        continue;
      }
      files.push_back({entry->id, PathOfLocked(*entry), entry->storedMs});
    }
  }
  for (const FileToRead& file : files) {
    std::optional<SpoolFileContent> content = ReadSpoolFile(file.path);
    // Whatever fails here is met again, and dealt with, when the record is due.
    if (!content) break;
    std::lock_guard lock(mutex_);
    if (FindLocked(file.id) == queue_.end() || CachedLocked(file.id)) continue;
    cache_.push_back({file.id, content->type, std::move(content->payload)});
    if (cache_.size() > kReadAhead + 1) cache_.pop_front();
  }
}

std::optional<QueuedRecord> EventSpool::CachedLocked(uint64_t id) const {
  for (const QueuedRecord& record : cache_) {
    if (record.id == id) return record;
  }
  return std::nullopt;
}

void EventSpool::SettleDeletions() {
  std::unique_lock lock(workMutex_);
  workDone_.wait(lock, [this] { return toDelete_.empty() && !deleting_; });
}

void EventSpool::SetRecordsQueuedListener(std::function<void()> listener) {
  recordsQueued_ = std::move(listener);
}

EventSpool::DirectoryState EventSpool::Start() {
  return TryTakeDirectory();
}

EventSpool::DirectoryState EventSpool::TryTakeDirectory() {
  lastDirectoryAttemptTick_ = clock_.TickCount();
  switch (directory_.TryLock()) {
    case SpoolDirectory::LockResult::kLocked:
      directoryState_ = DirectoryState::kOwned;
      // Only this driver writes here: a temporary file is what a crash left of a write.
      directory_.RemoveTemporaries();
      if (forwarding_) {
        watch_ = std::make_unique<DirectoryWatch>(directory_.Location().directory);
        StartLoadingBacklog();
      }
      break;
    case SpoolDirectory::LockResult::kHeldByAnother:
      directoryState_ = DirectoryState::kHeldByAnotherDriver;
      if (!anotherDriverReported_) {
        anotherDriverReported_ = true;
        ReportError(kErrorSpoolDirectoryTaken);
      }
      break;
    case SpoolDirectory::LockResult::kUnavailable:
      directoryState_ = DirectoryState::kUnavailable;
      break;
  }
  if (directoryState_ != DirectoryState::kOwned || !forwarding_) {
    // Nothing to load: what this run stores can go at once.
    std::lock_guard lock(mutex_);
    backlogLoaded_ = true;
  }
  return directoryState_;
}

void EventSpool::StartLoadingBacklog() {
  {
    std::lock_guard lock(mutex_);
    backlogLoaded_ = false;
  }
  loading_ = true;
  loaderDone_ = false;
  {
    std::lock_guard lock(workMutex_);
    loadRequested_ = true;
  }
  workToDo_.notify_all();
}

EventSpool::Backlog EventSpool::LoadBacklog() {
  Backlog backlog;
  const std::string& namePrefix = directory_.Location().namePrefix;
  directory_.ForEachFile([&](const FoundSpoolFile& file) {
    const auto place = static_cast<uint64_t>(backlog.entries.size());
    backlog.entries.push_back(
        EntryForName(place, file.modifiedNs / 1000000, file.name, backlog.textNames));
    return !stopLoading_.load();
  });
  // The names repeat every month: the time of writing first, then the name's moment and suffix
  // for files written within one tick of the file system's clock. Sorted in place: a million
  // entries must not be held twice.
  const auto key = [&](const Entry& entry) {
    if (entry.kind != NameKind::kText) {
      return std::make_tuple(entry.storedMs, uint64_t{entry.moment}, uint64_t{entry.suffix},
                             entry.id);
    }
    const SpoolNameOrder order = SpoolNameOrderOf(backlog.textNames.at(entry.id), namePrefix);
    return std::make_tuple(entry.storedMs, order.moment, order.suffix, entry.id);
  };
  std::sort(backlog.entries.begin(), backlog.entries.end(),
            [&](const Entry& a, const Entry& b) { return key(a) < key(b); });
  return backlog;
}

void EventSpool::MergeBacklog() {
  loading_ = false;
  Backlog backlog;
  {
    std::lock_guard lock(workMutex_);
    backlog = std::move(backlog_);
    backlog_ = {};
  }
  // Files this run wrote meanwhile are queued already; those that arrived meanwhile go behind.
  const bool checkNames = !writtenWhileLoading_.empty() || !arrivedWhileLoading_.empty();
  std::unordered_map<uint64_t, std::string> textNames;
  std::erase_if(backlog.entries, [&](Entry& entry) {
    std::string name;
    if (checkNames || entry.kind == NameKind::kText) {
      name = entry.kind == NameKind::kText ? std::move(backlog.textNames.at(entry.id))
                                           : directory_.Location().namePrefix +
                                                 SpoolNameFromCompact({entry.moment, entry.suffix});
      if (writtenWhileLoading_.contains(name)) return true;
      if (arrivedWhileLoading_.erase(name) > 0) return true;
    }
    entry.id = nextId_++;
    if (entry.kind == NameKind::kText) textNames.emplace(entry.id, std::move(name));
    return false;
  });
  writtenWhileLoading_.clear();
  std::vector<FoundSpoolFile> arrived;
  for (const std::string& name : arrivedWhileLoading_) arrived.push_back({name, 0});
  arrivedWhileLoading_.clear();
  {
    std::lock_guard lock(mutex_);
    // Ahead of everything this run stored meanwhile.
    for (const Entry& entry : queue_) backlog.entries.push_back(entry);
    queue_ = std::move(backlog.entries);
    textNames_.merge(textNames);
    backlogLoaded_ = true;
  }
  QueueFoundFiles(std::move(arrived), /*leaveOutWaiting=*/false);
  NotifyQueued();
}

bool EventSpool::BacklogLoaded() const {
  std::lock_guard lock(mutex_);
  return backlogLoaded_;
}

bool EventSpool::StoreEventRecords(std::span<const EventRecordBytes> records) {
  if (records.empty()) return true;
  try {
    const TDateTime now = clock_.Now();
    const int64_t nowMs = clock_.UnixTimeMs();
    // The frame's own records first, whatever is still held from before: the station is
    // answered once they are on disk.
    std::vector<std::string> paths;
    // A directory that was missing may be back: cheap to ask, and the records then go to disk.
    if (directoryState_ == DirectoryState::kUnavailable) TryTakeDirectory();
    if (directoryState_ == DirectoryState::kOwned) {
      std::string baseName = FormBaseName(now);
      std::vector<NewSpoolFile> files;
      files.reserve(records.size());
      // Dated by the spool's clock, as held records are when they are written later: the file
      // system's clock runs a few milliseconds behind, which could put a new file before an
      // older held one in the order of a later run.
      for (const EventRecordBytes& record : records) {
        files.push_back({baseName, SpoolFileBytes(record), nowMs});
      }
      directory_.WriteNew(files, &paths);
      NoteWriteOutcome(paths.size() == records.size());
    } else if (directoryState_ == DirectoryState::kUnavailable) {
      NoteWriteOutcome(false);
    }

    const std::size_t toHold = records.size() - paths.size();
    std::size_t heldNow = 0;
    {
      std::lock_guard lock(mutex_);
      heldNow = held_.size();
    }
    if (toHold > 0 && heldNow + toHold > maxHeldRecords_ - kHeldRecordMargin) {
      // Neither on disk nor in memory: nothing of the frame stays, and the station keeps it.
      for (const std::string& path : paths) directory_.Remove(path);
      if (!std::exchange(refusing_, true)) ReportError(kErrorFramesRefused);
      return false;
    }
    refusing_ = false;

    const std::size_t prefixSize = directory_.Prefix().size();
    std::vector<std::string> names;
    {
      std::lock_guard lock(mutex_);
      for (std::size_t i = 0; i < records.size(); ++i) {
        const uint64_t id = nextId_++;
        if (i < paths.size()) {
          if (!forwarding_) continue;
          std::string name = directory_.Location().namePrefix + paths[i].substr(prefixSize);
          queue_.push_back(EntryForName(id, nowMs, name, textNames_));
          names.push_back(std::move(name));
        } else {
          held_.push_back({id, now, nowMs, records[i]});
          if (forwarding_) queue_.push_back({id, nowMs, 0, 0, NameKind::kHeld});
        }
      }
    }
    recordsStored_ += records.size();
    for (std::string& name : names) NoteOwnName(name);
    if (forwarding_) NotifyQueued();
    return true;
  } catch (...) {
    // Only memory exhaustion gets here: better the station sends the frame again.
    return false;
  }
}

void EventSpool::NoteWriteOutcome(bool allWritten) {
  if (allWritten) {
    spoolFailing_ = false;
  } else if (!std::exchange(spoolFailing_, true)) {
    // One line per run of failures: the log would otherwise grow with every event.
    ReportError(kErrorSpoolWrite);
  }
}

void EventSpool::NoteOwnName(const std::string& name) {
  if (loading_) writtenWhileLoading_.insert(name);
  if (watch_) ownNames_[0].insert(name);
}

void EventSpool::OnTick() {
  try {
    if (directoryState_ != DirectoryState::kOwned &&
        TickDiff(clock_.TickCount(), lastDirectoryAttemptTick_) > kDirectoryRetryMs) {
      TryTakeDirectory();
    }
    if (loading_ && loaderDone_) MergeBacklog();
    TakeArrivals();
    if (directoryState_ == DirectoryState::kOwned) WriteSomeHeld(kHeldWritesPerTick);
  } catch (...) {
    // Tried again at the next tick.
  }
}

void EventSpool::WriteHeldRecords() {
  try {
    if (directoryState_ != DirectoryState::kOwned) TryTakeDirectory();
    // Even beside another driver: new files never replace one, and its watch will send them.
    // On as long as the directory takes some: a batch may stop short at a limit of the system.
    while (RecordsHeldInMemory() > 0 && WriteSomeHeld(kHeldWritesPerTick) > 0) {
    }
  } catch (...) {
  }
}

std::size_t EventSpool::WriteSomeHeld(std::size_t limit) {
  std::vector<HeldRecord> batch;
  {
    std::lock_guard lock(mutex_);
    const std::size_t count = std::min(limit, held_.size());
    batch.assign(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(count));
  }
  if (batch.empty()) return 0;
  std::vector<NewSpoolFile> files;
  files.reserve(batch.size());
  for (const HeldRecord& record : batch) {
    // Named and dated by the moment the record came, so that it keeps its place after a restart.
    files.push_back({FormBaseName(record.storedAt), SpoolFileBytes(record.bytes), record.storedMs});
  }
  std::vector<std::string> paths;
  directory_.WriteNew(files, &paths);
  NoteWriteOutcome(paths.size() == files.size());

  const std::size_t prefixSize = directory_.Prefix().size();
  std::vector<std::string> unneeded;
  std::vector<std::string> names;
  {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < paths.size(); ++i) {
      const uint64_t id = batch[i].id;
      if (const auto held = FindHeldLocked(id); held != held_.end()) held_.erase(held);
      std::string name = directory_.Location().namePrefix + paths[i].substr(prefixSize);
      const auto entry = forwarding_ ? FindLocked(id, /*fromBack=*/true) : queue_.end();
      if (entry != queue_.end()) {
        const uint64_t entryId = entry->id;
        const int64_t storedMs = entry->storedMs;
        *entry = EntryForName(entryId, storedMs, name, textNames_);
        names.push_back(std::move(name));
      } else if (forwarding_) {
        // The server had the record before its file was written: the file is not needed.
        unneeded.push_back(paths[i]);
      }
    }
  }
  for (const std::string& path : unneeded) directory_.Remove(path);
  for (std::string& name : names) NoteOwnName(name);
  return paths.size();
}

void EventSpool::TakeArrivals() {
  if (!forwarding_ || directoryState_ != DirectoryState::kOwned) return;
  if (!watch_ || !watch_->Active()) {
    // The directory was replaced or the watch failed: a new one, and a look at what is there.
    if (TickDiff(clock_.TickCount(), lastDirectoryAttemptTick_) <= kDirectoryRetryMs) return;
    lastDirectoryAttemptTick_ = clock_.TickCount();
    watch_ = std::make_unique<DirectoryWatch>(directory_.Location().directory);
    if (watch_->Active()) Rescan();
    return;
  }
  std::optional<std::vector<std::string>> arrivals = watch_->TakeArrivals();
  if (!arrivals) {
    Rescan();
    return;
  }
  std::vector<FoundSpoolFile> found;
  for (std::string& name : *arrivals) {
    if (!IsSpoolFileName(name, directory_.Location().namePrefix) || IsSpoolTemporaryName(name) ||
        ownNames_[0].contains(name) || ownNames_[1].contains(name)) {
      continue;
    }
    found.push_back({std::move(name), 0});
  }
  // Every own write so far has been reported by now, or will be by the next look.
  ownNames_[1] = std::move(ownNames_[0]);
  ownNames_[0].clear();
  if (loading_) {
    for (FoundSpoolFile& file : found) arrivedWhileLoading_.insert(std::move(file.name));
    return;
  }
  // A file may be reported more than once (created, then closed after its write; written twice):
  // one that already waits is not queued again, which would send it twice.
  QueueFoundFiles(std::move(found), /*leaveOutWaiting=*/true);
}

void EventSpool::Rescan() {
  if (loading_) return;  // the listing under way sees what is there
  // Files acknowledged but not deleted yet are done with.
  SettleDeletions();
  std::vector<FoundSpoolFile> found;
  directory_.ForEachFile([&](const FoundSpoolFile& file) {
    if (!ownNames_[0].contains(file.name) && !ownNames_[1].contains(file.name)) {
      found.push_back(file);
    }
    return true;
  });
  QueueFoundFiles(std::move(found), /*leaveOutWaiting=*/true);
}

void EventSpool::QueueFoundFiles(std::vector<FoundSpoolFile> found, bool leaveOutWaiting) {
  if (found.empty()) return;
  std::sort(found.begin(), found.end(),
            [](const FoundSpoolFile& a, const FoundSpoolFile& b) { return a.name < b.name; });
  found.erase(std::unique(found.begin(), found.end(),
                          [](const FoundSpoolFile& a, const FoundSpoolFile& b) {
                            return a.name == b.name;
                          }),
              found.end());
  if (leaveOutWaiting) {
    std::unordered_set<uint64_t> compactWaiting;
    std::unordered_set<std::string> textWaiting;
    {
      std::lock_guard lock(mutex_);
      for (const Entry& entry : queue_) {
        if (entry.kind == NameKind::kCompact) {
          compactWaiting.insert(uint64_t{entry.moment} << 16 | entry.suffix);
        } else if (entry.kind == NameKind::kText) {
          textWaiting.insert(textNames_.at(entry.id));
        }
      }
    }
    const std::string& namePrefix = directory_.Location().namePrefix;
    std::erase_if(found, [&](const FoundSpoolFile& file) {
      const std::optional<CompactSpoolName> compact =
          file.name.starts_with(namePrefix)
              ? CompactFromSpoolName(std::string_view(file.name).substr(namePrefix.size()))
              : std::nullopt;
      return compact ? compactWaiting.contains(uint64_t{compact->moment} << 16 | compact->suffix)
                     : textWaiting.contains(file.name);
    });
  }
  // Their times, read now: a file that went again meanwhile is left out.
  for (FoundSpoolFile& file : found) {
    file.modifiedNs = directory_.ModifiedNs(file.name).value_or(-1);
  }
  std::erase_if(found, [](const FoundSpoolFile& file) { return file.modifiedNs < 0; });
  SortInSpoolOrder(found, directory_.Location().namePrefix);
  if (found.empty()) return;
  {
    std::lock_guard lock(mutex_);
    for (const FoundSpoolFile& file : found) {
      queue_.push_back(EntryForName(nextId_++, file.modifiedNs / 1000000, file.name, textNames_));
    }
  }
  NotifyQueued();
}

bool EventSpool::HasWaiting() const {
  std::lock_guard lock(mutex_);
  return backlogLoaded_ && !queue_.empty();
}

std::optional<QueuedRecord> EventSpool::Oldest() {
  return FirstSendable(std::nullopt);
}

std::optional<QueuedRecord> EventSpool::Behind(uint64_t id) {
  return FirstSendable(id);
}

std::optional<QueuedRecord> EventSpool::FirstSendable(std::optional<uint64_t> behind) {
  for (;;) {
    FileToRead file;
    {
      std::lock_guard lock(mutex_);
      if (!backlogLoaded_) return std::nullopt;
      auto entry = queue_.begin();
      if (behind) {
        entry = FindLocked(*behind);
        if (entry == queue_.end()) return std::nullopt;
        ++entry;
      }
      const uint32_t now = clock_.TickCount();
      for (; entry != queue_.end(); ++entry) {
        const auto unreadable = unreadableSince_.find(entry->id);
        if (unreadable == unreadableSince_.end()) break;
        if (TickDiff(now, unreadable->second) > kUnreadableRetryMs) {
          unreadableSince_.erase(unreadable);
          break;
        }
      }
      if (entry == queue_.end()) return std::nullopt;
      if (entry->kind == NameKind::kHeld) {
        const auto held = FindHeldLocked(entry->id);
        if (held == held_.end()) return std::nullopt;  // cannot be: a held entry has its bytes
        return QueuedRecord{entry->id, MsgEventRecord, {held->bytes.begin(), held->bytes.end()}};
      }
      if (std::optional<QueuedRecord> cached = CachedLocked(entry->id)) {
        RequestReadAhead(entry->id);
        return cached;
      }
      file = {entry->id, PathOfLocked(*entry), entry->storedMs};
    }

    SpoolReadError error = SpoolReadError::kNone;
    std::optional<SpoolFileContent> content = ReadSpoolFile(file.path, &error);
    const bool young = clock_.UnixTimeMs() - file.storedMs < kYoungFileMs;
    bool setAside = false;
    {
      std::lock_guard lock(mutex_);
      const auto entry = FindLocked(file.id);
      if (entry == queue_.end()) continue;  // acknowledged or passed over meanwhile
      if (content) {
        QueuedRecord record{file.id, content->type, std::move(content->payload)};
        cache_.push_back(record);
        if (cache_.size() > kReadAhead + 1) cache_.pop_front();
        RequestReadAhead(file.id);
        return record;
      }
      if (IsPassingFailure(error) || (young && MayStillBeWritten(error))) {
        unreadableSince_[file.id] = clock_.TickCount();
        continue;
      }
      // Gone (deleted by hand), or not a spool file's contents: no longer waiting.
      ForgetLocked(entry);
      setAside = error != SpoolReadError::kNotFound && error != SpoolReadError::kEmpty;
    }
    if (error == SpoolReadError::kEmpty) {
      // A crash between a file's creation and its flush: the station did not get its 05 and sent
      // the frame again.
      directory_.Remove(file.path);
    } else if (setAside && directory_.SetAside(file.path) != SetAsideResult::kGone) {
      // Set aside, or left where it is when even that fails: either way it is not sent.
      ReportError(kErrorSpoolFileDamaged);
    }
  }
}

bool EventSpool::Acknowledge(uint64_t id) {
  std::string path;
  {
    std::lock_guard lock(mutex_);
    const auto entry = FindLocked(id);
    if (entry == queue_.end()) return false;
    if (entry->kind == NameKind::kHeld) {
      if (const auto held = FindHeldLocked(id); held != held_.end()) held_.erase(held);
    } else {
      path = PathOfLocked(*entry);
    }
    ForgetLocked(entry);
    ++recordsDelivered_;
    lastAcknowledgementMs_ = clock_.UnixTimeMs();
  }
  if (!path.empty()) {
    {
      std::unique_lock lock(workMutex_);
      // The drain goes at the speed of deletion rather than leave files to delete piling up;
      // while the worker lists a backlog, which takes a while, they wait for it.
      deletionRoom_.wait(lock, [this] {
        return toDelete_.size() < kMaxPendingDeletions || workerLoading_ || stopWorker_;
      });
      toDelete_.push_back(std::move(path));
    }
    workToDo_.notify_all();
  }
  return true;
}

void EventSpool::PassOver(uint64_t id) {
  std::lock_guard lock(mutex_);
  const auto entry = FindLocked(id);
  if (entry == queue_.end()) return;
  const Entry moved = *entry;
  queue_.erase(entry);
  queue_.push_back(moved);
}

std::size_t EventSpool::QueuedCount() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

std::size_t EventSpool::RecordsHeldInMemory() const {
  std::lock_guard lock(mutex_);
  return held_.size();
}

DeliveryStatistics EventSpool::Statistics() const {
  DeliveryStatistics statistics;
  statistics.recordsStored = recordsStored_;
  std::lock_guard lock(mutex_);
  statistics.recordsHeldInMemory = held_.size();
  statistics.recordsDelivered = recordsDelivered_;
  statistics.lastAcknowledgementMs = lastAcknowledgementMs_;
  // Without a session nothing is queued: what waits is what could not be written yet.
  statistics.recordsWaiting = forwarding_ ? queue_.size() : held_.size();
  if (forwarding_ && !queue_.empty()) statistics.oldestWaitingStoredMs = queue_.front().storedMs;
  return statistics;
}

EventSpool::Entry EventSpool::EntryForName(
    uint64_t id, int64_t storedMs, const std::string& name,
    std::unordered_map<uint64_t, std::string>& textNames) const {
  const std::string& namePrefix = directory_.Location().namePrefix;
  if (name.starts_with(namePrefix)) {
    if (const std::optional<CompactSpoolName> compact =
            CompactFromSpoolName(std::string_view(name).substr(namePrefix.size()))) {
      return {id, storedMs, compact->moment, compact->suffix, NameKind::kCompact};
    }
  }
  textNames.emplace(id, name);
  return {id, storedMs, 0, 0, NameKind::kText};
}

std::string EventSpool::NameOfLocked(const Entry& entry) const {
  if (entry.kind == NameKind::kText) return textNames_.at(entry.id);
  return directory_.Location().namePrefix + SpoolNameFromCompact({entry.moment, entry.suffix});
}

std::string EventSpool::PathOfLocked(const Entry& entry) const {
  return directory_.Location().directory + NameOfLocked(entry);
}

std::deque<EventSpool::Entry>::iterator EventSpool::FindLocked(uint64_t id, bool fromBack) {
  const auto matches = [id](const Entry& entry) { return entry.id == id; };
  if (!fromBack) return std::find_if(queue_.begin(), queue_.end(), matches);
  const auto found = std::find_if(queue_.rbegin(), queue_.rend(), matches);
  return found == queue_.rend() ? queue_.end() : std::prev(found.base());
}

void EventSpool::ForgetLocked(std::deque<Entry>::iterator entry) {
  if (entry->kind == NameKind::kText) textNames_.erase(entry->id);
  unreadableSince_.erase(entry->id);
  std::erase_if(cache_, [id = entry->id](const QueuedRecord& record) { return record.id == id; });
  queue_.erase(entry);
}

std::deque<EventSpool::HeldRecord>::iterator EventSpool::FindHeldLocked(uint64_t id) {
  const auto found =
      std::lower_bound(held_.begin(), held_.end(), id,
                       [](const HeldRecord& record, uint64_t key) { return record.id < key; });
  return found != held_.end() && found->id == id ? found : held_.end();
}

std::string EventSpool::FormBaseName(TDateTime at) {
  try {
    if (!(at >= kFirstCalendarTime && at < kEndOfCalendar)) {
      throw std::out_of_range("clock reading outside the calendar");
    }
    std::string name = SpoolFileName(DecodeDateTime(at));
    name.resize(name.size() - kSpoolFileExtension.size());
    return name;
  } catch (...) {
    ReportError(kErrorSpoolName);
    return {};  // the files are then named by their suffixes alone: ".dd8", "-1.dd8", ...
  }
}

void EventSpool::NotifyQueued() {
  if (recordsQueued_) recordsQueued_();
}

void EventSpool::ReportError(int code) const {
  try {
    reportError_(code);
  } catch (...) {
    // The error log is out of reach too; nothing more can be done about it here.
  }
}

}  // namespace drv
