#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "delivery/connection.h"
#include "delivery/protocol.h"
#include "fake_clock.h"

namespace drv::testing {

// The script of one fake connection and the record of what was done with it. The test keeps it
// after the session has released the connection.
struct FakeLink {
  struct Read {
    enum Kind { kData, kTimeout, kEndOfStream } kind = kData;
    std::vector<uint8_t> bytes;
    uint32_t advanceMs = 0;  // the clock moves by this much when the bytes are delivered
  };

  // Script.
  bool connectSucceeds = true;
  bool failWrites = false;
  bool blockConnect = false;  // Connect waits for Abort()
  bool blockReads =
      false;  // with nothing scripted, ReadSome waits for Abort() instead of timing out
  FakeClock* clock = nullptr;  // when set, a time-out moves it by the idle time
  std::deque<Read> reads;

  // Record.
  std::string host;
  int port = 0;
  int connectTimeoutMs = 0;
  int connectCalls = 0;
  bool open = false;
  int closeCalls = 0;
  int failedWrites = 0;
  bool released = false;
  std::vector<std::vector<uint8_t>> writes;
  std::vector<std::size_t> readRequests;
  std::vector<int> readTimeouts;

  std::atomic<bool> aborted{false};
  std::atomic<bool> blocked{false};  // a call is waiting for Abort()
  std::mutex mutex;
  std::condition_variable abortSignal;

  void QueueBytes(std::vector<uint8_t> bytes, uint32_t advanceMs = 0) {
    reads.push_back({Read::kData, std::move(bytes), advanceMs});
  }
  void QueueAnswer(uint32_t type, std::vector<uint8_t> payload = {}, int64_t number = 0) {
    QueueBytes(BuildFrame(BuildMessage(type, number, payload)));
  }
  void QueueTimeout() { reads.push_back({Read::kTimeout, {}, 0}); }
  void QueueEndOfStream() { reads.push_back({Read::kEndOfStream, {}, 0}); }

  // Every successful write taken as one frame and decoded.
  std::vector<DecodedMessage> WrittenMessages() const {
    std::vector<DecodedMessage> messages;
    for (const auto& frame : writes) {
      if (frame.size() < FrameHeader::kSize) continue;
      const std::span<const uint8_t> body(frame.data() + FrameHeader::kSize,
                                          frame.size() - FrameHeader::kSize);
      if (auto message = DecodeMessage(body)) messages.push_back(*message);
    }
    return messages;
  }
  std::vector<uint32_t> WrittenTypes() const {
    std::vector<uint32_t> types;
    for (const auto& message : WrittenMessages()) types.push_back(message.type);
    return types;
  }

  void WaitForAbort() {
    std::unique_lock lock(mutex);
    blocked = true;
    abortSignal.wait(lock, [&] { return aborted.load(); });
    blocked = false;
  }
  void Abort() {
    std::lock_guard lock(mutex);
    aborted = true;
    abortSignal.notify_all();
  }
};

class FakeConnection final : public IConnection {
 public:
  explicit FakeConnection(std::shared_ptr<FakeLink> link) : link_(std::move(link)) {}
  ~FakeConnection() override { link_->released = true; }

  bool Connect(const std::string& host, int port, int timeoutMs) override {
    FakeLink& l = *link_;
    ++l.connectCalls;
    l.host = host;
    l.port = port;
    l.connectTimeoutMs = timeoutMs;
    if (l.blockConnect) l.WaitForAbort();
    if (l.aborted) return false;
    l.open = l.connectSucceeds;
    return l.open;
  }

  bool Write(std::span<const uint8_t> bytes) override {
    FakeLink& l = *link_;
    if (l.aborted || !l.open || l.failWrites) {
      ++l.failedWrites;
      return false;
    }
    l.writes.emplace_back(bytes.begin(), bytes.end());
    return true;
  }

  int ReadSome(uint8_t* buffer, std::size_t size, int idleTimeoutMs) override {
    FakeLink& l = *link_;
    l.readRequests.push_back(size);
    l.readTimeouts.push_back(idleTimeoutMs);
    if (l.aborted || !l.open) return -1;
    if (l.reads.empty()) {
      if (l.blockReads) {
        l.WaitForAbort();
        return -1;
      }
      if (l.clock) l.clock->Advance(static_cast<uint32_t>(idleTimeoutMs));
      return 0;
    }
    FakeLink::Read& next = l.reads.front();
    if (next.kind == FakeLink::Read::kTimeout) {
      l.reads.pop_front();
      if (l.clock) l.clock->Advance(static_cast<uint32_t>(idleTimeoutMs));
      return 0;
    }
    if (next.kind == FakeLink::Read::kEndOfStream) {
      l.reads.pop_front();
      l.open = false;
      return -1;
    }
    const std::size_t count = std::min(size, next.bytes.size());
    std::copy_n(next.bytes.begin(), count, buffer);
    next.bytes.erase(next.bytes.begin(), next.bytes.begin() + static_cast<std::ptrdiff_t>(count));
    if (l.clock) l.clock->Advance(next.advanceMs);
    next.advanceMs = 0;
    if (next.bytes.empty()) l.reads.pop_front();
    return static_cast<int>(count);
  }

  void Close() override {
    ++link_->closeCalls;
    link_->open = false;
  }
  bool IsConnected() const override { return link_->open; }
  void Abort() override { link_->Abort(); }

 private:
  std::shared_ptr<FakeLink> link_;
};

// Hands out fake connections: first those prepared with PrepareNext(), then fresh ones set up by
// `defaults`.
class FakeConnectionFactory final : public IConnectionFactory {
 public:
  std::unique_ptr<IConnection> Create() override {
    std::lock_guard lock(mutex_);
    std::shared_ptr<FakeLink> link;
    if (!prepared_.empty()) {
      link = prepared_.front();
      prepared_.pop_front();
    } else {
      link = std::make_shared<FakeLink>();
      link->connectSucceeds = connectSucceeds;
      link->clock = clock;
    }
    links_.push_back(link);
    return std::make_unique<FakeConnection>(link);
  }

  std::shared_ptr<FakeLink> PrepareNext() {
    std::lock_guard lock(mutex_);
    auto link = std::make_shared<FakeLink>();
    link->connectSucceeds = connectSucceeds;
    link->clock = clock;
    prepared_.push_back(link);
    return link;
  }

  std::size_t Count() const {
    std::lock_guard lock(mutex_);
    return links_.size();
  }
  std::shared_ptr<FakeLink> Link(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return links_.at(index);
  }
  std::shared_ptr<FakeLink> Last() const {
    std::lock_guard lock(mutex_);
    return links_.back();
  }

  // Defaults for links that were not prepared.
  bool connectSucceeds = true;
  FakeClock* clock = nullptr;

 private:
  mutable std::mutex mutex_;
  std::deque<std::shared_ptr<FakeLink>> prepared_;
  std::vector<std::shared_ptr<FakeLink>> links_;
};

}  // namespace drv::testing
