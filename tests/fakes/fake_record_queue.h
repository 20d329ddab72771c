#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "delivery/message_types.h"
#include "delivery/record_queue.h"

namespace drv::testing {

// The spool as the session sees it: records the test adds, oldest first, and the ids the
// session acknowledged. Safe to use from the session thread and the test thread.
class FakeRecordQueue final : public IRecordQueue {
 public:
  // Adds a record behind the others; returns its id.
  uint64_t Add(std::span<const uint8_t> payload, uint32_t type = MsgEventRecord) {
    std::lock_guard lock(mutex_);
    const uint64_t id = nextId_++;
    queue_.push_back({id, type, {payload.begin(), payload.end()}});
    return id;
  }

  // Takes a record out without an acknowledgement, as the spool does when it gives one up.
  void Remove(uint64_t id) {
    std::lock_guard lock(mutex_);
    std::erase_if(queue_, [id](const QueuedRecord& record) { return record.id == id; });
  }

  std::optional<QueuedRecord> Oldest() const override {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) return std::nullopt;
    return queue_.front();
  }

  void Acknowledge(uint64_t id) override {
    std::lock_guard lock(mutex_);
    acknowledged_.push_back(id);
    if (!queue_.empty() && queue_.front().id == id) queue_.pop_front();
    changed_.notify_all();
  }

  // Every id the session acknowledged, in order.
  std::vector<uint64_t> Acknowledged() const {
    std::lock_guard lock(mutex_);
    return acknowledged_;
  }
  std::size_t Size() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
  }

  bool WaitForAcknowledgements(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return acknowledged_.size() >= count; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<QueuedRecord> queue_;
  std::vector<uint64_t> acknowledged_;
  uint64_t nextId_ = 1;
};

}  // namespace drv::testing
