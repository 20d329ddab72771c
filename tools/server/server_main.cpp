// drvtirval-server: a message server for tests and demos. Listens on 127.0.0.1, takes one
// driver connection at a time, prints every message it receives and answers each one.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/hex_text.h"
#include "base/program_options.h"
#include "delivery/event_record.h"
#include "delivery/message_types.h"
#include "delivery/protocol.h"
#include "tools/server/server_net.h"

namespace drv {
namespace {

constexpr std::string_view kProgram = "drvtirval-server";
constexpr int kDefaultPort = 12543;
constexpr int64_t kNoObject = INT64_MIN;  // outside every object number

struct Options {
  int port = kDefaultPort;
  bool deny = false;
  bool silent = false;
  bool noAck = false;
  bool deferAck = false;
  bool deferAckConfirm = false;
  bool doubleAck = false;
  int64_t disconnectAfter = 0;  // 0: never
  int64_t dropAfter = 0;
  int64_t confirmAfter = 0;
  int64_t garbageAfter = 0;
  int64_t oversizedAfter = 0;
  int64_t exitAfterEvents = 0;
  int64_t neverAckObject = kNoObject;
  int64_t neverAckCopies = 0;  // 0: for ever
  int64_t neverAckMs = 0;
  int delayMs = 0;
  int lateMs = 0;
};

constexpr int64_t kNoLimit = INT64_MAX;

// The command line's options into `o`, each with its lines of the --help text; descriptions
// start in column 26.
std::vector<ProgramOption> OptionTable(Options& o) {
  return {
      HelpLines(
          "Usage: drvtirval-server [options]\n"
          "\n"
          "Listens on 127.0.0.1 for the driver, one connection at a time (a new connection\n"
          "replaces the old), and answers every message: MsgAccepted to the introduction,\n"
          "MsgEventAck to an event record, MsgPoll to anything else. Prints\n"
          "'listening on 127.0.0.1:PORT' first, then one line per message received: event\n"
          "records as 'event number=N <fields> bytes=<27 bytes in hex>', the others as\n"
          "'<name> number=N payload=<hex>'; every copy of a record that comes again is printed\n"
          "again. In the options ending in -after, N counts the messages received since the\n"
          "start, from 1.\n"
          "\n"
          "Options:\n"),
      {"--port", Number(o.port, 0, 65535),
       "  --port N               TCP port (default 12543; 0 picks a free one)\n"},
      {"--deny", Flag(o.deny),
       "  --deny                 answer every introduction with MsgAccessDenied\n"},
      {"--disconnect-after", Number(o.disconnectAfter, 1, kNoLimit),
       "  --disconnect-after N   answer message N with MsgDisconnectOrder\n"},
      {"--drop-after", Number(o.dropAfter, 1, kNoLimit),
       "  --drop-after N         answer message N with MsgDropConnection\n"},
      {"--confirm-after", Number(o.confirmAfter, 1, kNoLimit),
       "  --confirm-after N      answer message N with MsgConfirmRequest\n"},
      {"--garbage-after", Number(o.garbageAfter, 1, kNoLimit),
       "  --garbage-after N      answer message N with 21 bytes that are no frame\n"},
      {"--oversized-after", Number(o.oversizedAfter, 1, kNoLimit),
       "  --oversized-after N    answer message N with a frame header announcing 2^31-1 bytes\n"},
      {"--silent", Flag(o.silent), "  --silent               never answer\n"},
      {"--delay-ms", Number(o.delayMs, 0, 600000),
       "  --delay-ms N           wait N ms before each answer\n"},
      {"--no-ack", Flag(o.noAck), "  --no-ack               answer event records with MsgPoll\n"},
      {"--late-ms", Number(o.lateMs, 0, 600000),
       "  --late-ms N            answer every message N ms after it arrived, reading on\n"
       "                         meanwhile; the answers go out in order\n"},
      {"--defer-ack", Flag(o.deferAck),
       "  --defer-ack            answer an event record with MsgPoll and give its MsgEventAck\n"
       "                         as the answer to the next message on the connection\n"},
      {"--defer-ack-confirm", Flag(o.deferAckConfirm),
       "  --defer-ack-confirm    the same with MsgConfirmRequest in place of MsgPoll\n"},
      {"--double-ack", Flag(o.doubleAck),
       "  --double-ack           acknowledge every event record twice: the answer to the next\n"
       "                         message of the connection is a second MsgEventAck\n"},
      {"--never-ack-object", Number(o.neverAckObject, INT32_MIN, INT32_MAX),
       "  --never-ack-object N   answer the event records of object number N with MsgPoll\n"},
      {"--never-ack-copies", Number(o.neverAckCopies, 1, kNoLimit),
       "  --never-ack-copies N   with --never-ack-object: only its first N records\n"},
      {"--never-ack-ms", Number(o.neverAckMs, 1, kNoLimit),
       "  --never-ack-ms N       with --never-ack-object: only for N ms from its first record\n"},
      {"--exit-after-events", Number(o.exitAfterEvents, 1, kNoLimit),
       "  --exit-after-events N  exit with status 0 once N event records have been answered\n"},
      {"--help", ShowsHelp(), "  --help                 show this text\n"},
      {"--version", ShowsVersion(), "  --version              show the version\n"},
      HelpLines("\n"
                "Exit status:\n"
                "  0                      ended by SIGTERM, SIGINT or --exit-after-events\n"
                "  1                      the port cannot be listened on\n"
                "  2                      a bad option\n"),
  };
}

const char* TypeName(uint32_t type) {
  switch (type) {
    case MsgPoll:
      return "MsgPoll";
    case MsgIntroduction:
      return "MsgIntroduction";
    case MsgAccepted:
      return "MsgAccepted";
    case MsgConfirmRequest:
      return "MsgConfirmRequest";
    case MsgAccessDenied:
      return "MsgAccessDenied";
    case MsgPortState:
      return "MsgPortState";
    case MsgVersion:
      return "MsgVersion";
    case MsgFirstNumber:
      return "MsgFirstNumber";
    case MsgDisconnectOrder:
      return "MsgDisconnectOrder";
    case MsgDropConnection:
      return "MsgDropConnection";
    case MsgConfirm:
      return "MsgConfirm";
    case MsgEventRecord:
      return "MsgEventRecord";
    case MsgEventAck:
      return "MsgEventAck";
  }
  return nullptr;
}

std::string DescribeMessage(const DecodedMessage& message) {
  const std::string number = "number=" + std::to_string(message.number);
  if (message.type == MsgEventRecord && message.payload.size() == kEventRecordSize) {
    return "event " + number + ' ' + DescribeEventRecord(*ParseEventRecord(message.payload)) +
           " bytes=" + BlankSeparatedHex(message.payload);
  }
  std::string name;
  if (const char* known = TypeName(message.type)) {
    name = known;
  } else {
    char text[32];
    std::snprintf(text, sizeof text, "type=0x%08X", message.type);
    name = text;
  }
  return name + ' ' + number + " payload=" + BlankSeparatedHex(message.payload);
}

void PrintLine(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

class Server {
 public:
  explicit Server(const Options& options) : options_(options) {}

  // Returns the exit status.
  int Run() {
    std::string error;
    if (!listener_.Listen(options_.port, error)) {
      std::cerr << kProgram << ": cannot listen on 127.0.0.1:" << options_.port << ": " << error
                << '\n';
      return 1;
    }
    PrintLine("listening on 127.0.0.1:" + std::to_string(listener_.Port()));

    while (!stopping_) {
      SendDueAnswers();
      if (stopping_) break;
      switch (listener_.Wait(client_, MillisecondsToNextAnswer())) {
        case server::Listener::Ready::kStop:
        case server::Listener::Ready::kFailed:
          stopping_ = true;
          break;
        case server::Listener::Ready::kConnection:
          Accept();
          break;
        case server::Listener::Ready::kClientInput:
          Receive();
          break;
        case server::Listener::Ready::kTimedOut:
          break;
      }
    }
    DropClient();
    return exitStatus_;
  }

 private:
  void Accept() {
    server::Client accepted = listener_.Accept();
    if (!accepted.IsOpen()) return;
    DropClient();
    client_ = std::move(accepted);
    PrintLine("connection accepted");
  }

  void DropClient() {
    if (!client_.IsOpen()) return;
    client_.Close();
    input_.clear();
    ackOwed_ = false;
    lateAnswers_.clear();  // owed to the connection that has gone
    PrintLine("connection closed");
  }

  void Receive() {
    uint8_t buffer[65536];
    const std::size_t n = client_.Receive(buffer, sizeof buffer);
    if (n == 0) {
      DropClient();
      return;
    }
    input_.insert(input_.end(), buffer, buffer + n);
    while (client_.IsOpen() && !stopping_ && input_.size() >= FrameHeader::kSize) {
      if (input_[0] != FrameHeader::kMarker && input_[0] != FrameHeader::kAlternateMarker) {
        PrintLine("bad-frame header=" + BlankSeparatedHex({input_.data(), FrameHeader::kSize}));
        DropClient();
        return;
      }
      int32_t length = 0;
      for (int i = 3; i >= 0; --i) {
        length = static_cast<int32_t>((static_cast<uint32_t>(length) << 8) |
                                      input_[FrameHeader::kBodyLengthOffset + i]);
      }
      if (length <= 0 || length > kMaxBodyLength) {
        PrintLine("bad-frame header=" + BlankSeparatedHex({input_.data(), FrameHeader::kSize}));
        DropClient();
        return;
      }
      const std::size_t frameSize = FrameHeader::kSize + static_cast<std::size_t>(length);
      if (input_.size() < frameSize) return;
      const std::vector<uint8_t> body(input_.begin() + FrameHeader::kSize,
                                      input_.begin() + static_cast<std::ptrdiff_t>(frameSize));
      input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(frameSize));
      Handle(body);
    }
  }

  void Handle(const std::vector<uint8_t>& body) {
    const std::optional<DecodedMessage> message = DecodeMessage(body);
    if (!message) {
      PrintLine("bad-message body=" + BlankSeparatedHex(body));
      return;
    }
    ++received_;
    PrintLine(DescribeMessage(*message));
    const bool isEvent = message->type == MsgEventRecord;
    if (!options_.silent) Answer(*message);
    if (isEvent && ++events_ == options_.exitAfterEvents) {
      // With late answers, the last ones still go out first.
      exitWhenAnswered_ = true;
      stopping_ = lateAnswers_.empty();
    }
  }

  void Answer(const DecodedMessage& message) {
    std::vector<uint8_t> answer = BuildAnswer(message);
    if (options_.lateMs > 0) {
      lateAnswers_.push_back(
          {Clock::now() + std::chrono::milliseconds(options_.lateMs), std::move(answer)});
      return;
    }
    if (options_.delayMs > 0 && server::WaitForStop(options_.delayMs)) {
      stopping_ = true;
      return;
    }
    if (!client_.SendAll(answer)) DropClient();
  }

  std::vector<uint8_t> BuildAnswer(const DecodedMessage& message) {
    std::vector<uint8_t> answer;
    if (received_ == options_.garbageAfter) {
      answer.assign(FrameHeader::kSize, 0x5A);
    } else if (received_ == options_.oversizedAfter) {
      const auto header = EncodeFrameHeader(FrameHeader{0x7FFFFFFF});
      answer.assign(header.begin(), header.end());
    } else {
      answer = BuildFrame(BuildMessage(AnswerType(message), answerNumber_++, {}));
    }
    return answer;
  }

  // Whether the record is one of the object whose records go unacknowledged, while they do.
  bool Refuses(const DecodedMessage& record) {
    if (options_.neverAckObject == kNoObject) return false;
    const std::optional<EventRecord> fields = ParseEventRecord(record.payload);
    if (!fields || fields->ObjectNumber != options_.neverAckObject) return false;
    const Clock::time_point now = Clock::now();
    if (refusedCopies_ == 0) firstRefusal_ = now;
    if (options_.neverAckCopies > 0 && refusedCopies_ >= options_.neverAckCopies) return false;
    if (options_.neverAckMs > 0 &&
        now - firstRefusal_ >= std::chrono::milliseconds(options_.neverAckMs)) {
      return false;
    }
    ++refusedCopies_;
    return true;
  }

  void SendDueAnswers() {
    while (client_.IsOpen() && !lateAnswers_.empty() && lateAnswers_.front().due <= Clock::now()) {
      const std::vector<uint8_t> answer = std::move(lateAnswers_.front().bytes);
      lateAnswers_.pop_front();
      if (!client_.SendAll(answer)) DropClient();
    }
    if (exitWhenAnswered_ && lateAnswers_.empty()) stopping_ = true;
  }

  // How long the listener may wait: until the next late answer is due, else without limit.
  int MillisecondsToNextAnswer() const {
    if (lateAnswers_.empty()) return -1;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(lateAnswers_.front().due - Clock::now())
            .count();
    return left > 0 ? static_cast<int>(left) : 0;
  }

  uint32_t AnswerType(const DecodedMessage& message) {
    if (received_ == options_.disconnectAfter) return MsgDisconnectOrder;
    if (received_ == options_.dropAfter) return MsgDropConnection;
    if (received_ == options_.confirmAfter) return MsgConfirmRequest;
    if (message.type == MsgIntroduction) return options_.deny ? MsgAccessDenied : MsgAccepted;
    if (message.type == MsgEventRecord && (options_.noAck || Refuses(message))) return MsgPoll;
    // An acknowledgement held back from an earlier record answers this message.
    const bool owed = std::exchange(ackOwed_, false);
    if (message.type != MsgEventRecord) return owed ? MsgEventAck : MsgPoll;
    if (options_.deferAck) {
      ackOwed_ = true;
      if (owed) return MsgEventAck;
      return options_.deferAckConfirm ? MsgConfirmRequest : MsgPoll;
    }
    ackOwed_ = options_.doubleAck;
    return MsgEventAck;
  }

  using Clock = std::chrono::steady_clock;
  struct LateAnswer {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
  };

  const Options options_;
  server::Listener listener_;
  server::Client client_;
  std::vector<uint8_t> input_;
  std::deque<LateAnswer> lateAnswers_;  // oldest first; all due `lateMs` after their message
  int64_t received_ = 0;
  int64_t events_ = 0;
  int64_t answerNumber_ = 0;
  bool ackOwed_ = false;       // the next answer on this connection is an acknowledgement
  int64_t refusedCopies_ = 0;  // records of --never-ack-object answered with MsgPoll
  Clock::time_point firstRefusal_;
  bool stopping_ = false;
  bool exitWhenAnswered_ = false;
  int exitStatus_ = 0;
};

}  // namespace
}  // namespace drv

int main(int argc, char** argv) {
  drv::Options options;
  const std::vector<drv::ProgramOption> table = drv::OptionTable(options);
  const drv::ProgramCommandLine commandLine =
      drv::ReadCommandLine(table, drv::ArgumentsOf(argc, argv), drv::OperandRule::kNone);
  if (const auto status = drv::AnswerUnlessRun(commandLine, table, drv::kProgram)) return *status;
  if (options.deferAckConfirm) options.deferAck = true;

  if (!drv::server::InstallStopHandlers()) return 1;

  return drv::Server(options).Run();
}
