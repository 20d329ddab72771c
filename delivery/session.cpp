#include "delivery/session.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

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

}  // namespace

cl::cl(IClock& clock, IMainThread& mainThread, IConnectionFactory& connections,
       std::function<ServerEndpoint()> readEndpoint, std::string versionText, SessionHooks hooks)
    : clock_(clock),
      mainThread_(mainThread),
      connections_(connections),
      readEndpoint_(std::move(readEndpoint)),
      versionText_(std::move(versionText)),
      hooks_(std::move(hooks)),
      lastPollTick_(clock.TickCount()) {}

cl::~cl() {
  Stop();
}

void cl::Start() {
  if (thread_.joinable()) return;
  thread_ = std::thread(&cl::ThreadBody, this);
}

void cl::Stop() {
  {
    std::lock_guard lock(ringMutex_);
    stopRequested_ = true;
  }
  wake_.notify_all();
  {
    std::lock_guard lock(connectionMutex_);
    if (connection_) connection_->Abort();
  }
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void cl::ThreadBody() {
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

void cl::PauseAfterStep() {
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Bounded, so that a clock that jumps (or a test's fake clock) is looked at again soon.
  constexpr uint32_t kLongestPauseMs = 50;
  const uint32_t pause = std::min(MillisecondsUntilNextDeadline(), kLongestPauseMs);
  if (pause <= 1) return;
  std::unique_lock lock(ringMutex_);
  wake_.wait_for(lock, std::chrono::milliseconds(pause - 1), [this] {
    return stopRequested_.load() || (connected_.load() && (full_ || head_ != tail_));
  });
}

uint32_t cl::MillisecondsUntilNextDeadline() const {
  const uint32_t now = clock_.TickCount();
  const auto until = [now](uint32_t since, uint32_t interval) -> uint32_t {
    const uint32_t elapsed = TickDiff(now, since);
    return elapsed > interval ? 0 : interval - elapsed + 1;
  };
  if (connected_) {
    if (receiveAfterConnect_ || errorCount_ > kMaxFailures || QueuedCount() > 0) return 0;
    return introduced_ ? until(lastPollTick_, kPollIntervalMs)
                       : until(lastAttemptTick_, kAttemptSpacingMs);
  }
  if (reconnectAllowed_) return until(lastAttemptTick_, kAttemptSpacingMs);
  return deniedShown_ ? UINT32_MAX : 0;
}

void cl::Step() {
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

void cl::StepConnected() {
  if (!connection_) {
    connected_ = false;
    return;
  }
  if (errorCount_ > kMaxFailures) {
    errorCount_ = 0;
    ShowLine(kLineNetworkErrors);
    connected_ = false;
  }

  sentThisStep_ = false;
  try {
    if (std::optional<std::vector<uint8_t>> message = PeekEntry()) {
      sentThisStep_ = true;
      if (WriteFrame(*connection_, *message)) {
        DropEntry();
      } else {
        FailWrite();
      }
    } else if (introduced_) {
      const uint32_t now = clock_.TickCount();
      if (TickDiff(now, lastPollTick_) > kPollIntervalMs) {
        pollDue_ = true;
        lastPollTick_ = now;
      }
    } else if (TickDiff(clock_.TickCount(), lastAttemptTick_) > kAttemptSpacingMs) {
      // Accepted by TCP but never by the server: the next attempt releases this connection.
      connected_ = false;
    }
  } catch (...) {
    // The message stays at the head of the ring; the answer is still read below.
  }

  if (!pollDue_ && !receiveAfterConnect_ && !sentThisStep_) return;
  if (pollDue_) {
    pollDue_ = false;
    bool written = false;
    try {
      written = WriteFrame(*connection_, BuildMessage(MsgPoll, 0, {}));
    } catch (...) {
    }
    if (!written) FailWrite();
  }
  receiveAfterConnect_ = false;
  FrameReadResult frame;
  try {
    frame = ReadFrame(*connection_, clock_);
  } catch (...) {
    frame.status = FrameReadStatus::kEndOfStream;
  }
  if (!frame.ok()) {
    ++errorCount_;
    receivedBody_.clear();
    // The server has gone: the socket is closed, but the session keeps its state and lets the
    // failures that follow decide about reconnecting.
    if (frame.status == FrameReadStatus::kEndOfStream && connection_->IsConnected()) {
      connection_->Close();
    }
    return;
  }
  receivedBody_ = std::move(frame.body);
  const std::optional<DecodedMessage> message = DecodeMessage(receivedBody_);
  if (!message) return;
  errorCount_ = 0;
  TickIndicator();
  ActOn(message->type);
}

void cl::AttemptConnection() {
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
  // Stop() aborts only the connection it finds; one made after that must not be used.
  if (stopRequested_ || !connection_) return;

  const ServerEndpoint endpoint = readEndpoint_();
  if (!connection_->Connect(endpoint.Address, endpoint.Port, kConnectTimeoutMs)) return;
  Introduce();
  if (hooks_.Connected) RunOnMain(hooks_.Connected);
  ShowLine(kLineConnected);
  connected_ = true;
  TickIndicator();
}

void cl::Introduce() {
  const std::array<uint8_t, 2> module{static_cast<uint8_t>(kModuleNumber & 0xFF),
                                      static_cast<uint8_t>(kModuleNumber >> 8)};
  QueueMessage(MsgIntroduction, module);
  receiveAfterConnect_ = true;
  IntroductionInfo info;
  if (hooks_.ReadIntroduction) RunOnMain([&] { info = hooks_.ReadIntroduction(); });
  QueueMessage(MsgPortState, PortStatePayload(info.comPort, info.portOpen));
  const std::array<uint8_t, 1> firstNumber{
      static_cast<uint8_t>(static_cast<uint32_t>(info.firstNumber) & 0xFF)};
  QueueMessage(MsgFirstNumber, firstNumber);
  QueueMessage(MsgVersion, VersionPayload(ParseVersionText(versionText_)));
}

void cl::ActOn(uint32_t type) {
  switch (type) {
    case MsgAccepted:
      introduced_ = true;
      break;
    case MsgEventAck:
      if (hooks_.EventAcknowledged) RunOnMain(hooks_.EventAcknowledged);
      break;
    case MsgConfirmRequest:
      QueueMessage(MsgConfirm, {});
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

void cl::ShowLine(const std::string& text) {
  lineText_ = text;
  if (!hooks_.ShowLine) return;
  RunOnMain([&] { hooks_.ShowLine(FormatDateTime(clock_.Now()) + " " + text); });
}

void cl::TickIndicator() {
  if (hooks_.TickIndicator) RunOnMain(hooks_.TickIndicator);
}

void cl::OnConnectionClosed() {
  connected_ = false;
  TickIndicator();
}

void cl::CloseConnection() {
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

void cl::FailWrite() {
  ++errorCount_;
  if (connection_->IsConnected()) {
    connection_->Close();
    OnConnectionClosed();
  }
}

void cl::RunOnMain(const std::function<void()>& task) {
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

void cl::QueueMessage(uint32_t type, std::span<const uint8_t> payload) {
  std::lock_guard lock(ringMutex_);
  const int64_t number = messageNumber_++;
  if (PutEntryLocked(BuildMessage(type, number, payload))) wake_.notify_all();
}

bool cl::PutEntry(std::vector<uint8_t> message) {
  std::lock_guard lock(ringMutex_);
  const bool stored = PutEntryLocked(std::move(message));
  if (stored) wake_.notify_all();
  return stored;
}

bool cl::PutEntryLocked(std::vector<uint8_t> message) {
  if (head_ == tail_ && full_) return false;
  slots_[static_cast<std::size_t>(tail_)] = std::move(message);
  tail_ = (tail_ + 1) % kRingSlots;
  full_ = tail_ == head_;
  return true;
}

std::optional<std::vector<uint8_t>> cl::PeekEntry() const {
  std::lock_guard lock(ringMutex_);
  if (head_ == tail_ && !full_) return std::nullopt;
  return slots_[static_cast<std::size_t>(head_)];
}

void cl::DropEntry() {
  std::lock_guard lock(ringMutex_);
  if (head_ == tail_ && !full_) return;
  slots_[static_cast<std::size_t>(head_)].clear();
  slots_[static_cast<std::size_t>(head_)].shrink_to_fit();
  head_ = (head_ + 1) % kRingSlots;
  full_ = false;
}

int cl::QueuedCount() const {
  std::lock_guard lock(ringMutex_);
  if (full_) return kRingSlots;
  return (tail_ - head_ + kRingSlots) % kRingSlots;
}

int64_t cl::messageNumber() const {
  std::lock_guard lock(ringMutex_);
  return messageNumber_;
}

}  // namespace drv
