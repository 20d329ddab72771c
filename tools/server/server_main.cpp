// drvtirval-server: a message server for tests and demos. Listens on 127.0.0.1, takes one
// driver connection at a time, prints every message it receives and answers each one.

#include <cstdint>
#include <cstdio>
#include <cstring>
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

struct Options {
  int port = kDefaultPort;
  bool deny = false;
  bool silent = false;
  bool noAck = false;
  int64_t disconnectAfter = 0;  // 0: never
  int64_t dropAfter = 0;
  int64_t confirmAfter = 0;
  int64_t garbageAfter = 0;
  int64_t oversizedAfter = 0;
  int64_t exitAfterEvents = 0;
  int delayMs = 0;
};

constexpr int64_t kNoLimit = INT64_MAX;

// The command line's options into `o`, each with its lines of the --help text; descriptions
// start in column 26.
std::vector<ProgramOption> OptionTable(Options& o) {
  return {
      HelpLines("Usage: drvtirval-server [options]\n"
                "\n"
                "Listens on 127.0.0.1 for the driver, one connection at a time (a new connection\n"
                "replaces the old), and answers every message: MsgAccepted to the introduction,\n"
                "MsgEventAck to an event record, MsgPoll to anything else. Prints\n"
                "'listening on 127.0.0.1:PORT' first, then one line per message received: event\n"
                "records as 'event number=N <fields> bytes=<27 bytes in hex>', the others as\n"
                "'<name> number=N payload=<hex>'. In the options, N counts the messages received\n"
                "since the start, from 1.\n"
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
      switch (listener_.Wait(client_)) {
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
      stopping_ = true;
      exitStatus_ = 0;
    }
  }

  void Answer(const DecodedMessage& message) {
    if (options_.delayMs > 0 && server::WaitForStop(options_.delayMs)) {
      stopping_ = true;
      return;
    }
    std::vector<uint8_t> answer;
    if (received_ == options_.garbageAfter) {
      answer.assign(FrameHeader::kSize, 0x5A);
    } else if (received_ == options_.oversizedAfter) {
      const auto header = EncodeFrameHeader(FrameHeader{0x7FFFFFFF});
      answer.assign(header.begin(), header.end());
    } else {
      answer = BuildFrame(BuildMessage(AnswerType(message.type), answerNumber_++, {}));
    }
    if (!client_.SendAll(answer)) DropClient();
  }

  uint32_t AnswerType(uint32_t received) const {
    if (received_ == options_.disconnectAfter) return MsgDisconnectOrder;
    if (received_ == options_.dropAfter) return MsgDropConnection;
    if (received_ == options_.confirmAfter) return MsgConfirmRequest;
    if (received == MsgIntroduction) return options_.deny ? MsgAccessDenied : MsgAccepted;
    if (received == MsgEventRecord && !options_.noAck) return MsgEventAck;
    return MsgPoll;
  }

  const Options options_;
  server::Listener listener_;
  server::Client client_;
  std::vector<uint8_t> input_;
  int64_t received_ = 0;
  int64_t events_ = 0;
  int64_t answerNumber_ = 0;
  bool stopping_ = false;
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

  if (!drv::server::InstallStopHandlers()) return 1;

  return drv::Server(options).Run();
}
