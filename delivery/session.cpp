#include "delivery/session.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <utility>

#include "base/error_codes.h"
#include "base/tdatetime.h"
#include "delivery/message_types.h"
#include "delivery/port_state.h"
#include "delivery/protocol.h"

namespace drv {

namespace {

constexpr char kLineConnecting[] = "Соединение...";
constexpr char kLineConnected[] = "Соединение установлено.";
constexpr char kLineNetworkErrors[] = "Ошибки по сети - переподсоединение.";
constexpr char kLineDisconnectOrder[] = "Сервер дал команду на рассоединение.";
constexpr char kLineAccessDenied[] = "Доступ запрещен.";

// Milliseconds from `now` until more than `interval` has passed since `since`; 0 when it has.
uint32_t Until(uint32_t now, uint32_t since, uint32_t interval) {
  const uint32_t elapsed = TickDiff(now, since);
  return elapsed > interval ? 0 : interval - elapsed + 1;
}

}  // namespace

MessageServerSession::MessageServerSession(IClock& clock, IMainThread& mainThread,
                                           IConnectionFactory& connections, IRecordQueue& records,
                                           std::function<ServerEndpoint()> readEndpoint,
                                           std::string versionText, SessionHooks hooks)
    : clock_(clock),
      mainThread_(mainThread),
      connections_(connections),
      records_(records),
      readEndpoint_(std::move(readEndpoint)),
      versionText_(std::move(versionText)),
      hooks_(std::move(hooks)),
      lastPollTick_(clock.TickCount()) {}

MessageServerSession::~MessageServerSession() {
  Stop();
}

void MessageServerSession::Start() {
  if (thread_.joinable()) return;
  thread_ = std::thread(&MessageServerSession::ThreadBody, this);
}

void MessageServerSession::Stop() {
  {
    std::lock_guard lock(queueMutex_);
    stopRequested_ = true;
  }
  wake_.notify_all();
  {
    std::lock_guard lock(connectionMutex_);
    if (connection_) connection_->Abort();
  }
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void MessageServerSession::ThreadBody() {
  deniedShown_ = false;
  lastPollTick_ = clock_.TickCount();
  errorCount_ = 0;
  lastAttemptTick_ = 0;
  introduced_ = false;
  reconnectAllowed_ = true;
  connected_ = false;
  try {
    // Read once here as well, so a broken settings file shows up before the first attempt.
    (void)readEndpoint_();
  } catch (...) {
  }
  while (!stopRequested_) {
    Step();
    PauseAfterStep();
  }
  // The window may be gone by now: close without running any handler.
  connected_ = false;
  std::unique_ptr<IConnection> last;
  {
    std::lock_guard lock(connectionMutex_);
    last = std::move(connection_);
  }
  try {
    if (last && last->IsConnected()) last->Close();
  } catch (...) {
  }
}

void MessageServerSession::PauseAfterStep() {
  // The next record goes as soon as the last one is acknowledged: a backlog drains at the pace
  // of the server's answers, and a block message's records follow each other at once.
  if (std::exchange(acknowledgedThisStep_, false) && connected_ && records_.HasWaiting()) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Bounded, so that a clock that jumps (or a test's fake clock) is looked at again; long enough
  // that an idle session wakes for its polls and little else.
  constexpr uint32_t kLongestPauseMs = 1000;
  const uint32_t pause = std::min(MillisecondsUntilNextDeadline(), kLongestPauseMs);
  std::unique_lock lock(queueMutex_);
  if (pause > 1) {
    wake_.wait_for(lock, std::chrono::milliseconds(pause - 1), [this] {
      return stopRequested_.load() || (connected_.load() && (!ring_.Empty() || recordsQueued_));
    });
  }
  if (recordsQueued_) nothingSendableSince_.reset();
  recordsQueued_ = false;
}

uint32_t MessageServerSession::MillisecondsUntilNextDeadline() {
  const uint32_t now = clock_.TickCount();
  if (!connected_) {
    if (reconnectAllowed_) return Until(now, lastAttemptTick_, kAttemptSpacingMs);
    return deniedShown_ ? UINT32_MAX : 0;
  }
  {
    std::lock_guard lock(queueMutex_);
    if (!ring_.Empty()) return 0;
  }
  if (receiveAfterConnect_ || errorCount_ > kMaxFailures) return 0;
  if (!introduced_) return Until(now, lastAttemptTick_, kAttemptSpacingMs);
  if (!unanswered_.empty()) return 0;
  uint32_t pause = Until(now, lastPollTick_, kPollIntervalMs);
  if (nothingSendableSince_) {
    pause = std::min(pause, Until(now, *nothingSendableSince_, kUnsendableRetryMs));
  } else if (records_.HasWaiting()) {
    if (!oldest_ || !oldest_->writtenOnConnection || TryingTheNextIsDue()) return 0;
    pause = std::min(pause, Until(now, oldest_->lastWriteTick, kRecordResendMs));
  }
  return pause;
}

void MessageServerSession::Step() {
  try {
    if (connected_) {
      StepConnected();
    } else if (reconnectAllowed_) {
      if (TickDiff(clock_.TickCount(), lastAttemptTick_) > kAttemptSpacingMs) AttemptConnection();
    } else if (!deniedShown_) {
      deniedShown_ = true;
      ShowLine(kLineAccessDenied);
    }
  } catch (...) {
    // Whatever failed, the loop goes on; the next step starts from the flags as they stand.
  }
}

void MessageServerSession::StepConnected() {
  if (!connection_) {
    connected_ = false;
    return;
  }
  if (errorCount_ > kMaxFailures) {
    errorCount_ = 0;
    ShowLine(kLineNetworkErrors);
    connected_ = false;
  }
  const bool wrote = WriteNextMessage();
  // Answers still owed are read before anything more is asked for.
  if (!wrote && !receiveAfterConnect_ && (unanswered_.empty() || !introduced_)) return;
  receiveAfterConnect_ = false;
  ReadAnswer();
}

bool MessageServerSession::WriteNextMessage() {
  // Control messages first: the introduction must precede every record.
  std::optional<std::vector<uint8_t>> message;
  {
    std::lock_guard lock(queueMutex_);
    if (const std::vector<uint8_t>* head = ring_.Peek()) message = *head;
  }
  if (message) {
    if (WriteFrameOf(*message, std::nullopt)) {
      std::lock_guard lock(queueMutex_);
      ring_.Drop();
    }  // else the message stays at the head of the ring
    return true;
  }

  const uint32_t now = clock_.TickCount();
  if (!introduced_) {
    // Accepted by TCP but never by the server: the next attempt releases this connection.
    if (TickDiff(now, lastAttemptTick_) > kAttemptSpacingMs) connected_ = false;
    return false;
  }

  if (std::optional<QueuedRecord> record = RecordDue(now)) {
    const std::optional<int64_t> number = NumberForRecord();
    // A control message came meanwhile: it goes first, the record after it.
    if (!number) return false;
    if (WriteFrameOf(BuildMessage(record->type, *number, record->payload), record->id)) {
      NoteRecordWritten(record->id, now);
    }  // else it stays waiting and goes on the next connection
    return true;
  }
  // A poll asks the server for its next message; while answers are still owed, reading them
  // does that without adding to a slow server's work.
  if (unanswered_.empty() && TickDiff(now, lastPollTick_) > kPollIntervalMs) {
    lastPollTick_ = now;
    (void)WriteFrameOf(BuildMessage(MsgPoll, 0, {}), std::nullopt);
    return true;
  }
  return false;
}

bool MessageServerSession::WriteFrameOf(std::span<const uint8_t> message, Write write) {
  bool written = false;
  try {
    written = WriteFrame(*connection_, message);
  } catch (...) {
  }
  if (!written) {
    FailWrite();
    return false;
  }
  unanswered_.push_back(write);
  return true;
}

std::optional<QueuedRecord> MessageServerSession::RecordDue(uint32_t now) {
  if (nothingSendableSince_) {
    if (TickDiff(now, *nothingSendableSince_) <= kUnsendableRetryMs) return std::nullopt;
    nothingSendableSince_.reset();
  }
  if (!records_.HasWaiting()) {
    oldest_.reset();
    return std::nullopt;
  }
  std::optional<QueuedRecord> oldest = records_.Oldest();
  if (!oldest) {
    // Records wait, but none can be read now: looked at again a little later, not in a spin.
    nothingSendableSince_ = now;
    oldest_.reset();
    return std::nullopt;
  }
  // A new oldest record: the last one was acknowledged, passed over or removed.
  if (!oldest_ || oldest_->id != oldest->id) oldest_ = OldestRecord{oldest->id};
  if (!oldest_->writtenOnConnection || TickDiff(now, oldest_->lastWriteTick) > kRecordResendMs) {
    return oldest;
  }
  if (TryingTheNextIsDue()) {
    oldest_->nextTried = true;
    oldest_->refusals = 0;
    return records_.Behind(oldest_->id);
  }
  return std::nullopt;
}

bool MessageServerSession::TryingTheNextIsDue() const {
  if (!oldest_ || oldest_->nextTried) return false;
  const int refusals = passedOver_.contains(oldest_->id) ? 1 : kRefusalsBeforeTryingTheNext;
  return oldest_->refusals >= refusals;
}

std::optional<int64_t> MessageServerSession::NumberForRecord() {
  std::lock_guard lock(queueMutex_);
  if (!ring_.Empty()) return std::nullopt;
  return messageNumber_++;
}

void MessageServerSession::NoteRecordWritten(uint64_t id, uint32_t now) {
  if (!written_.insert(id).second) ++recordsSentAgain_;
  lastRecordWritten_ = id;
  if (oldest_ && oldest_->id == id) {
    oldest_->lastWriteTick = now;
    oldest_->writtenOnConnection = true;
    // A fresh copy: the record behind it may be tried again after more refusals.
    oldest_->nextTried = false;
  }
}

void MessageServerSession::ReadAnswer() {
  FrameReadResult frame;
  try {
    frame = ReadFrame(*connection_, clock_);
  } catch (...) {
    frame.status = FrameReadStatus::kEndOfStream;
  }
  switch (frame.status) {
    case FrameReadStatus::kOk:
      break;
    case FrameReadStatus::kTimedOut:
      // Silence: the answer may still come, and is placed against its write when it does.
      ++errorCount_;
      return;
    case FrameReadStatus::kEndOfStream:
      // The server has gone: the socket is closed, but the session keeps its state and lets the
      // failures that follow decide about reconnecting.
      ++errorCount_;
      if (connection_->IsConnected()) connection_->Close();
      return;
    case FrameReadStatus::kBadMarker:
    case FrameReadStatus::kBadLength:
    case FrameReadStatus::kStalled:
      // Part of a frame has been eaten: where the next one starts cannot be known, and no answer
      // could be placed against its write any more. Only a new connection brings that back.
      ++errorCount_;
      ShowLine(kLineNetworkErrors);
      CloseConnection();
      return;
  }
  Write answered;
  if (!unanswered_.empty()) {
    answered = unanswered_.front();
    unanswered_.pop_front();
  }
  const std::optional<DecodedMessage> message = DecodeMessage(frame.body);
  if (!message) return;
  errorCount_ = 0;
  TickIndicator();
  ActOn(message->type, answered);
}

void MessageServerSession::OnEventAcknowledged(const Write& answered) {
  if (answered) {
    // The answer to a record's write: that record, unless this answers a stale copy.
    OnRecordAcknowledged(*answered);
  } else if (lastRecordWritten_) {
    // The answer to a poll or a control message: the server deferred the acknowledgement of
    // the record it was last sent.
    OnRecordAcknowledged(*lastRecordWritten_);
  }
}

void MessageServerSession::OnRecordAcknowledged(uint64_t id) {
  if (lastRecordWritten_ == id) lastRecordWritten_.reset();
  written_.erase(id);
  passedOver_.erase(id);
  if (!records_.Acknowledge(id)) return;
  acknowledgedThisStep_ = true;
  if (!oldest_ || oldest_->id == id) {
    oldest_.reset();
    return;
  }
  // The server stores another record while the oldest is still refused.
  if (oldest_->nextTried) PassOverOldest();
}

void MessageServerSession::PassOverOldest() {
  const uint64_t id = oldest_->id;
  oldest_.reset();
  records_.PassOver(id);
  ++recordsPassedOver_;
  // Once per record, however often it comes round.
  if (passedOver_.insert(id).second && hooks_.reportError) {
    RunOnMain([this] { hooks_.reportError(kErrorRecordPassedOver); });
  }
}

void MessageServerSession::OnAnswerWithoutAcknowledgement(const Write& answered) {
  if (answered && oldest_ && *answered == oldest_->id) ++oldest_->refusals;
}

void MessageServerSession::AttemptConnection() {
  TickIndicator();
  ShowLine(kLineConnecting);
  lastAttemptTick_ = clock_.TickCount();

  std::unique_ptr<IConnection> fresh = connections_.Create();
  std::unique_ptr<IConnection> old;
  {
    std::lock_guard lock(connectionMutex_);
    old = std::move(connection_);
    connection_ = std::move(fresh);
  }
  old.reset();  // releasing an old connection runs no close handler
  introduced_ = false;
  // Answers on a new connection belong to what is written on it: the record that was out goes
  // again once the server has accepted the driver.
  if (oldest_) {
    oldest_->writtenOnConnection = false;
    oldest_->nextTried = false;
  }
  unanswered_.clear();
  lastRecordWritten_.reset();
  // Stop() aborts only the connection it finds; one made after that must not be used.
  if (stopRequested_ || !connection_) return;

  const ServerEndpoint endpoint = readEndpoint_();
  if (!connection_->Connect(endpoint.address, endpoint.port, kConnectTimeoutMs)) return;
  Introduce();
  ShowLine(kLineConnected);
  connected_ = true;
  TickIndicator();
}

void MessageServerSession::Introduce() {
  const std::array<uint8_t, 2> module{static_cast<uint8_t>(kModuleNumber & 0xFF),
                                      static_cast<uint8_t>(kModuleNumber >> 8)};
  (void)QueueMessage(MsgIntroduction, module);
  receiveAfterConnect_ = true;
  IntroductionInfo info;
  if (hooks_.readIntroduction) RunOnMain([&] { info = hooks_.readIntroduction(); });
  (void)QueueMessage(MsgPortState, PortStatePayload(info.comPort, info.portOpen));
  const std::array<uint8_t, 1> firstNumber{
      static_cast<uint8_t>(static_cast<uint32_t>(info.firstNumber) & 0xFF)};
  (void)QueueMessage(MsgFirstNumber, firstNumber);
  (void)QueueMessage(MsgVersion, VersionPayload(ParseVersionText(versionText_)));
}

void MessageServerSession::ActOn(uint32_t type, const Write& answered) {
  if (type != MsgEventAck) OnAnswerWithoutAcknowledgement(answered);
  switch (type) {
    case MsgAccepted:
      introduced_ = true;
      break;
    case MsgEventAck:
      OnEventAcknowledged(answered);
      break;
    case MsgConfirmRequest:
      (void)QueueMessage(MsgConfirm, {});
      break;
    case MsgAccessDenied:
      connected_ = false;
      reconnectAllowed_ = false;
      CloseConnection();
      break;
    case MsgDropConnection:
      connected_ = false;
      CloseConnection();
      break;
    case MsgDisconnectOrder:
      errorCount_ = 0;
      lastAttemptTick_ = clock_.TickCount();
      connected_ = false;
      TickIndicator();
      ShowLine(kLineDisconnectOrder);
      break;
    default:
      break;
  }
}

void MessageServerSession::ShowLine(const std::string& text) {
  if (!hooks_.showLine) return;
  RunOnMain([&] { hooks_.showLine(FormatDateTime(clock_.Now()) + " " + text); });
}

void MessageServerSession::TickIndicator() {
  if (hooks_.tickIndicator) RunOnMain(hooks_.tickIndicator);
}

void MessageServerSession::OnConnectionClosed() {
  connected_ = false;
  TickIndicator();
}

void MessageServerSession::CloseConnection() {
  connected_ = false;
  TickIndicator();
  try {
    if (connection_ && connection_->IsConnected()) {
      connection_->Close();
      OnConnectionClosed();
    }
  } catch (...) {
  }
}

void MessageServerSession::FailWrite() {
  ++errorCount_;
  if (connection_->IsConnected()) {
    connection_->Close();
    OnConnectionClosed();
  }
}

void MessageServerSession::RunOnMain(const std::function<void()>& task) {
  // A hook that throws must not unwind across threads; a refusal means shutdown, and the session
  // simply goes on until it is stopped.
  try {
    (void)mainThread_.RunAndWait([&task] {
      try {
        task();
      } catch (...) {
      }
    });
  } catch (...) {
  }
}

bool MessageServerSession::QueueMessage(uint32_t type, std::span<const uint8_t> payload) {
  bool stored = false;
  {
    std::lock_guard lock(queueMutex_);
    // The number is used up even when the ring refuses the message.
    stored = ring_.Put(BuildMessage(type, messageNumber_++, payload));
  }
  if (stored) wake_.notify_all();
  return stored;
}

void MessageServerSession::RecordsQueued() {
  {
    std::lock_guard lock(queueMutex_);
    recordsQueued_ = true;
  }
  wake_.notify_all();
}

}  // namespace drv
