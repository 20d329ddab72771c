#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/main_thread.h"
#include "delivery/connection.h"
#include "delivery/session_link.h"

namespace drv {

// What the introduction reports about the receiver port, read on the main thread.
struct IntroductionInfo {
  std::string comPort;
  bool portOpen = false;
  int32_t firstNumber = 4;
};

// The session's ways into the main window and the spool. Every hook runs on the main thread
// through IMainThread::RunAndWait while the session waits.
struct SessionHooks {
  // The full display line: FormatDateTime(now) + " " + text.
  std::function<void(const std::string& line)> ShowLine;
  // The window advances its bar position (0..16) and redraws from connected().
  std::function<void()> TickIndicator;
  // Spool notifications.
  std::function<void()> Connected;
  std::function<void()> EventAcknowledged;
  // ComPort, whether the port is open and FirstNumber, for the introduction.
  std::function<IntroductionInfo()> ReadIntroduction;
};

inline constexpr int kRingSlots = 100;
inline constexpr int kConnectTimeoutMs = 2500;
inline constexpr uint32_t kAttemptSpacingMs = 5000;
inline constexpr uint32_t kPollIntervalMs = 500;
inline constexpr int kMaxFailures = 20;
inline constexpr uint16_t kModuleNumber = 45;

// The message-server session: connects, introduces the driver, writes queued messages one at a
// time, polls while nothing is queued, reads one answer after each write and obeys the server.
class cl final : public ISessionLink {
 public:
  cl(IClock& clock, IMainThread& mainThread, IConnectionFactory& connections,
     std::function<ServerEndpoint()> readEndpoint, std::string versionText, SessionHooks hooks);
  ~cl() override;
  cl(const cl&) = delete;
  cl& operator=(const cl&) = delete;

  // Runs the loop on a thread of its own.
  void Start();
  // Ends the loop and joins the thread; wakes a blocking connect or read at once. Hooks that the
  // main thread refuses meanwhile (RunAndWait false) are skipped.
  void Stop();
  // One pass of the loop; tests call it directly instead of Start().
  void Step();

  bool connected() const override { return connected_.load(); }
  bool introduced() const override { return introduced_.load(); }
  // Numbers the message and offers it to the ring as one unit; callable from both threads.
  void QueueMessage(uint32_t type, std::span<const uint8_t> payload) override;

  // The outgoing ring of 100 complete messages, oldest first.
  bool PutEntry(std::vector<uint8_t> message);
  std::optional<std::vector<uint8_t>> PeekEntry() const;
  void DropEntry();
  int QueuedCount() const;

  // Read-only views of the session thread's state.
  int64_t messageNumber() const;
  bool reconnectAllowed() const { return reconnectAllowed_; }
  bool deniedShown() const { return deniedShown_; }
  int errorCount() const { return errorCount_; }
  uint32_t lastAttemptTick() const { return lastAttemptTick_; }
  const std::string& lineText() const { return lineText_; }
  const std::vector<uint8_t>& receivedBody() const { return receivedBody_; }

 private:
  void ThreadBody();
  // The pause after a step: 1 ms, and while the session has nothing to do until a deadline, on
  // until that deadline, a queued message or a stop, so an idle driver does not spin.
  void PauseAfterStep();
  uint32_t MillisecondsUntilNextDeadline() const;
  void StepConnected();
  void AttemptConnection();
  void Introduce();
  void ActOn(uint32_t type);
  void ShowLine(const std::string& text);
  void TickIndicator();
  void OnConnectionClosed();
  void CloseConnection();
  // Counts a failure and closes the connection (running OnConnectionClosed) when still open.
  void FailWrite();
  bool PutEntryLocked(std::vector<uint8_t> message);
  void RunOnMain(const std::function<void()>& task);

  IClock& clock_;
  IMainThread& mainThread_;
  IConnectionFactory& connections_;
  // Read again before every connection attempt, so an edited address takes effect.
  const std::function<ServerEndpoint()> readEndpoint_;
  const std::string versionText_;
  const SessionHooks hooks_;

  std::atomic<bool> stopRequested_{false};
  // Replaced only by the session thread; the mutex lets Stop() abort it from another thread.
  std::unique_ptr<IConnection> connection_;
  mutable std::mutex connectionMutex_;
  bool reconnectAllowed_ = true;
  bool deniedShown_ = false;
  std::atomic<bool> connected_{false};
  int64_t messageNumber_ = 0;
  std::atomic<bool> introduced_{false};
  std::array<std::vector<uint8_t>, kRingSlots> slots_;
  int head_ = 0;
  int tail_ = 0;
  bool full_ = false;
  mutable std::mutex ringMutex_;  // guards messageNumber_ and the ring
  // Wakes an idle loop when a message is queued or the session is stopped.
  std::condition_variable wake_;
  bool pollDue_ = false;
  bool receiveAfterConnect_ = false;
  bool sentThisStep_ = false;
  uint32_t lastPollTick_ = 0;
  uint32_t lastAttemptTick_ = 0;
  std::string lineText_;
  int errorCount_ = 0;
  std::vector<uint8_t> receivedBody_;

  std::thread thread_;
};

}  // namespace drv
