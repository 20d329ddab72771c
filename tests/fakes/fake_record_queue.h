#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "delivery/message_types.h"
#include "delivery/record_queue.h"

namespace drv::testing {

// The spool as the session sees it: records the test adds, oldest first, and what the session
// did with them. Safe to use from the session thread and the test thread.
class FakeRecordQueue final : public IRecordQueue {
 public:
  // Adds a record behind the others; returns its id.
  uint64_t Add(std::span<const uint8_t> payload, uint32_t type = MsgEventRecord) {
    std::lock_guard lock(mutex_);
    const uint64_t id = nextId_++;
    queue_.push_back({id, type, {payload.begin(), payload.end()}});
    return id;
  }

  // Forgets every record and everything done with them.
  void Clear() {
    std::lock_guard lock(mutex_);
    queue_.clear();
    unreadable_.clear();
    acknowledged_.clear();
    passedOver_.clear();
  }

  // Takes a record out without an acknowledgement, as when its file is deleted by hand.
  void Remove(uint64_t id) {
    std::lock_guard lock(mutex_);
    std::erase_if(queue_, [id](const QueuedRecord& record) { return record.id == id; });
  }

  // The record cannot be read for the moment (Oldest and Behind skip it), or can again.
  void SetUnreadable(uint64_t id, bool unreadable) {
    std::lock_guard lock(mutex_);
    if (unreadable) {
      unreadable_.insert(id);
    } else {
      unreadable_.erase(id);
    }
  }

  bool HasWaiting() const override {
    std::lock_guard lock(mutex_);
    return !queue_.empty();
  }

  std::optional<QueuedRecord> Oldest() override {
    if (onOldest) onOldest();
    std::lock_guard lock(mutex_);
    return FirstReadableFrom(queue_.begin());
  }

  std::optional<QueuedRecord> Behind(uint64_t id) override {
    std::lock_guard lock(mutex_);
    auto at = Find(id);
    return at == queue_.end() ? std::nullopt : FirstReadableFrom(std::next(at));
  }

  bool Acknowledge(uint64_t id) override {
    std::lock_guard lock(mutex_);
    auto at = Find(id);
    if (at == queue_.end()) return false;
    queue_.erase(at);
    acknowledged_.push_back(id);
    changed_.notify_all();
    return true;
  }

  void PassOver(uint64_t id) override {
    std::lock_guard lock(mutex_);
    passedOver_.push_back(id);
    auto at = Find(id);
    if (at == queue_.end()) return;
    QueuedRecord record = std::move(*at);
    queue_.erase(at);
    queue_.push_back(std::move(record));
  }

  // The waiting records the session acknowledged, in order.
  std::vector<uint64_t> Acknowledged() const {
    std::lock_guard lock(mutex_);
    return acknowledged_;
  }
  std::vector<uint64_t> PassedOver() const {
    std::lock_guard lock(mutex_);
    return passedOver_;
  }
  std::size_t Size() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
  }

  bool WaitForAcknowledgements(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return acknowledged_.size() >= count; });
  }

  // Runs at every Oldest(), before the queue is looked at: what another thread might do then.
  std::function<void()> onOldest;

 private:
  std::deque<QueuedRecord>::iterator Find(uint64_t id) {
    return std::find_if(queue_.begin(), queue_.end(),
                        [id](const QueuedRecord& record) { return record.id == id; });
  }
  std::optional<QueuedRecord> FirstReadableFrom(std::deque<QueuedRecord>::iterator from) {
    for (; from != queue_.end(); ++from) {
      if (!unreadable_.contains(from->id)) return *from;
    }
    return std::nullopt;
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<QueuedRecord> queue_;
  std::set<uint64_t> unreadable_;
  std::vector<uint64_t> acknowledged_;
  std::vector<uint64_t> passedOver_;
  uint64_t nextId_ = 1;
};

}  // namespace drv::testing
