#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
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
#include "delivery/message_ring.h"
#include "delivery/record_queue.h"
#include "delivery/session_link.h"

namespace drv {

// What the introduction reports about the receiver port, read on the main thread.
struct IntroductionInfo {
  std::string comPort;
  bool portOpen = false;
  int32_t firstNumber = 4;
};

// The session's ways into the main window. Every hook runs on the main thread through
// IMainThread::RunAndWait while the session waits.
struct SessionHooks {
  // The full display line: FormatDateTime(now) + " " + text.
  std::function<void(const std::string& line)> showLine;
  // The window advances its bar position (0..16) and redraws from IsConnected().
  std::function<void()> tickIndicator;
  // ComPort, whether the port is open and FirstNumber, for the introduction.
  std::function<IntroductionInfo()> readIntroduction;
};

inline constexpr int kConnectTimeoutMs = 2500;
inline constexpr uint32_t kAttemptSpacingMs = 5000;
inline constexpr uint32_t kPollIntervalMs = 500;
// A record whose acknowledgement has not come on a live connection goes again after this.
inline constexpr uint32_t kRecordResendMs = 3000;
// Copies of one record written on one connection before it is given up for a new one.
inline constexpr int kMaxRecordCopiesPerConnection = 3;
inline constexpr int kMaxFailures = 20;
inline constexpr uint16_t kModuleNumber = 45;

// The message-server session, on a thread of its own: connects, introduces the driver, writes
// the queued control messages and the spooled event records one at a time, polls while there is
// nothing to write, reads one answer after each write and obeys the server.
//
// An acknowledgement names no message, so exactly one event record is out unacknowledged at a
// time; the acknowledgement lets the spool delete it, and the next one goes at once. The server
// answers every frame with one frame, in order, so an answer is matched with the write it
// belongs to; an acknowledgement counts only when it answers a copy of the record that is out,
// and none counts on a connection whose answers have fallen out of step. A record goes again on
// the next connection, or after kRecordResendMs on the same one: delivery is at least once.
class MessageServerSession final : public ISessionLink {
 public:
  MessageServerSession(IClock& clock, IMainThread& mainThread, IConnectionFactory& connections,
                       IRecordQueue& records, std::function<ServerEndpoint()> readEndpoint,
                       std::string versionText, SessionHooks hooks);
  ~MessageServerSession() override;
  MessageServerSession(const MessageServerSession&) = delete;
  MessageServerSession& operator=(const MessageServerSession&) = delete;

  // Runs the loop on a thread of its own.
  void Start();
  // Ends the loop and joins the thread; wakes a blocking connect or read at once. Hooks that the
  // main thread refuses meanwhile (RunAndWait false) are skipped.
  void Stop();
  // One pass of the loop; tests call it directly instead of Start().
  void Step();

  bool IsConnected() const override { return connected_.load(); }
  bool IsIntroduced() const override { return introduced_.load(); }
  // Numbers the message and offers it to the ring as one unit; callable from both threads.
  bool QueueMessage(uint32_t type, std::span<const uint8_t> payload) override;
  // The spool has queued records: a session waiting for its next deadline sends them now.
  void RecordsQueued();
  // Copies of records written again after a first write (the server may see them twice);
  // callable from any thread.
  uint64_t RecordsSentAgain() const { return recordsSentAgain_.load(); }

 private:
  // The event record on the connection, awaiting its acknowledgement.
  struct RecordInFlight {
    uint64_t id = 0;
    uint32_t lastWriteTick = 0;
    int copiesOnConnection = 0;  // writes of it on the current connection
  };

  void ThreadBody();
  // The pause after a step: 1 ms, and while the session has nothing to do until a deadline, on
  // until that deadline, a queued message or record, or a stop, so an idle driver does not spin.
  void PauseAfterStep();
  uint32_t MillisecondsUntilNextDeadline();
  void StepConnected();
  // Writes the next message: a control message from the ring, else the oldest record when it is
  // due, else a poll when one is due. True when a write was made or tried.
  bool WriteNextMessage();
  // The oldest record, unless it is out on this connection and not yet overdue.
  std::optional<QueuedRecord> RecordDue(uint32_t now) const;
  // Writes one frame; counts the answer it is owed, or the failure.
  bool Write(std::span<const uint8_t> message, std::optional<uint64_t> recordId);
  void NoteRecordWritten(uint64_t id, uint32_t now);
  void ReadAnswer();
  // `answered`: the write the acknowledgement answers, as far as the session can tell.
  void OnEventAcknowledged(const std::optional<uint64_t>& answeredRecord);
  void AttemptConnection();
  void Introduce();
  void ActOn(uint32_t type, const std::optional<uint64_t>& answeredRecord);
  void ShowLine(const std::string& text);
  void TickIndicator();
  void OnConnectionClosed();
  void CloseConnection();
  // Counts a failure and closes the connection (running OnConnectionClosed) when still open.
  void FailWrite();
  int64_t NextMessageNumber();
  void RunOnMain(const std::function<void()>& task);

  IClock& clock_;
  IMainThread& mainThread_;
  IConnectionFactory& connections_;
  IRecordQueue& records_;
  // Read again before every connection attempt, so an edited address takes effect.
  const std::function<ServerEndpoint()> readEndpoint_;
  const std::string versionText_;
  const SessionHooks hooks_;

  std::atomic<bool> stopRequested_{false};
  // Replaced only by the session thread; the mutex lets Stop() abort it from another thread.
  std::unique_ptr<IConnection> connection_;
  std::mutex connectionMutex_;
  bool reconnectAllowed_ = true;
  bool deniedShown_ = false;
  std::atomic<bool> connected_{false};
  std::atomic<bool> introduced_{false};
  std::atomic<uint64_t> recordsSentAgain_{0};

  // Shared with the main thread's QueueMessage and RecordsQueued.
  std::mutex queueMutex_;
  int64_t messageNumber_ = 0;
  MessageRing ring_;
  bool recordsQueued_ = false;
  // Wakes an idle loop when something is queued or the session is stopped.
  std::condition_variable wake_;

  // Session thread only.
  bool receiveAfterConnect_ = false;
  uint32_t lastPollTick_ = 0;
  uint32_t lastAttemptTick_ = 0;
  int errorCount_ = 0;
  std::optional<RecordInFlight> inFlight_;
  // One entry per frame written on this connection whose answer has not been read, oldest first:
  // the record's id for a record, nothing for any other message.
  std::deque<std::optional<uint64_t>> unanswered_;
  // An answer was garbled or cut on this connection: which write an answer belongs to is no
  // longer known, so no acknowledgement counts until the next connection.
  bool outOfStep_ = false;
  bool acknowledgedThisStep_ = false;

  std::thread thread_;
};

// The name the main window's state knows the session by.
using cl = MessageServerSession;

}  // namespace drv
