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
#include <unordered_set>
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
  // A line in the error log.
  std::function<void(int code)> reportError;
};

inline constexpr int kConnectTimeoutMs = 2500;
inline constexpr uint32_t kAttemptSpacingMs = 5000;
inline constexpr uint32_t kPollIntervalMs = 500;
// A record whose acknowledgement has not come on a live connection goes again after this.
inline constexpr uint32_t kRecordResendMs = 3000;
// Answers without an acknowledgement to copies of the oldest record before the record behind
// it is tried, to tell a server that refuses one record from one that stores nothing; a record
// passed over once is tried so after its first such answer when it comes round again.
inline constexpr int kRefusalsBeforeTryingTheNext = 3;
inline constexpr int kMaxFailures = 20;
// Records wait but none can be read from its file at the moment: looked at again after this.
inline constexpr uint32_t kUnsendableRetryMs = 250;
inline constexpr uint16_t kModuleNumber = 45;

// The message-server session, on a thread of its own: connects, introduces the driver, writes
// the queued control messages and the spooled event records one at a time, polls while there is
// nothing to write, reads one answer after each write and obeys the server.
//
// An acknowledgement names no message, so one event record is out unacknowledged at a time; its
// acknowledgement lets the spool delete it, and the next one goes at once. The server answers
// every frame with one frame, in order, so each answer is placed against the write it answers.
// An acknowledgement that answers a record's write acknowledges that record, unless it was
// acknowledged before (the answer to a stale copy); one that answers anything else (a poll, a
// control message) acknowledges the record last written on this connection, which the server
// had deferred. A record goes again after kRecordResendMs on the same connection, or on the next
// one: delivery is at least once. The connection is left only for more than kMaxFailures
// failures, a closed socket, a server that does not accept the driver, its orders, or a stream
// whose framing is lost.
//
// A server may refuse one record for ever while it stores others. When the oldest record's
// copies keep being answered without an acknowledgement, the record behind it is tried once; if
// the server acknowledges that one, the refused record is passed over, behind the others, and
// logged. A server that acknowledges nothing keeps the order.
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
  // Copies of records written again after a first write (the server may see them twice), and
  // records passed over because the server would not take them; callable from any thread.
  uint64_t RecordsSentAgain() const { return recordsSentAgain_.load(); }
  uint64_t RecordsPassedOver() const { return recordsPassedOver_.load(); }

 private:
  // The oldest waiting record, once it has been written: it holds the others back until it is
  // acknowledged or passed over.
  struct OldestRecord {
    uint64_t id = 0;
    uint32_t lastWriteTick = 0;
    bool writtenOnConnection = false;
    // Answers to its copies that acknowledged nothing, since the record behind it was last tried.
    int refusals = 0;
    // The record behind it has been tried since it was last written.
    bool nextTried = false;
  };
  // What a write on this connection still waits for an answer to: a record's id, or nothing for
  // any other message.
  using Write = std::optional<uint64_t>;

  void ThreadBody();
  // The pause after a step: 1 ms, and while the session has nothing to do until a deadline, on
  // until that deadline, a queued message or record, or a stop, so an idle driver does not spin.
  void PauseAfterStep();
  uint32_t MillisecondsUntilNextDeadline();
  void StepConnected();
  // Writes the next message: a control message from the ring, else a record when one is due,
  // else a poll when one is due. True when a write was made or tried.
  bool WriteNextMessage();
  // The record to write now, if any: the oldest when it is new or its copy is overdue, or the
  // one behind it when the oldest keeps being refused.
  std::optional<QueuedRecord> RecordDue(uint32_t now);
  bool TryingTheNextIsDue() const;
  // The number of a record about to be written, taken only when no control message is waiting,
  // so that numbers rise on the wire; nothing when one is.
  std::optional<int64_t> NumberForRecord();
  // Writes one frame; notes the answer it is owed, or counts the failure.
  bool WriteFrameOf(std::span<const uint8_t> message, Write write);
  void NoteRecordWritten(uint64_t id, uint32_t now);
  void ReadAnswer();
  void OnEventAcknowledged(const Write& answered);
  void OnRecordAcknowledged(uint64_t id);
  void PassOverOldest();
  void OnAnswerWithoutAcknowledgement(const Write& answered);
  void AttemptConnection();
  void Introduce();
  void ActOn(uint32_t type, const Write& answered);
  void ShowLine(const std::string& text);
  void TickIndicator();
  void OnConnectionClosed();
  void CloseConnection();
  // Counts a failure and closes the connection (running OnConnectionClosed) when still open.
  void FailWrite();
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
  std::atomic<uint64_t> recordsPassedOver_{0};

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
  std::optional<OldestRecord> oldest_;
  // Every write on this connection whose answer has not been read, oldest first.
  std::deque<Write> unanswered_;
  // The record last written on this connection and not yet acknowledged: an acknowledgement
  // that answers another message is its deferred one.
  std::optional<uint64_t> lastRecordWritten_;
  // Records written at least once and not yet acknowledged: a further write is a copy.
  std::unordered_set<uint64_t> written_;
  // Records passed over once; logged once, and tried more briefly when they come round again.
  std::unordered_set<uint64_t> passedOver_;
  // Records wait, but none can be sent now (its file is unreadable for the moment): not before.
  std::optional<uint32_t> nothingSendableSince_;
  bool acknowledgedThisStep_ = false;

  std::thread thread_;
};

// The name the main window's state knows the session by.
using cl = MessageServerSession;

}  // namespace drv
