// drvtirval-station: plays a central receiving station on a serial line. It sends report and
// block messages framed as the station does, waits for the reply byte, resends on 07 or silence,
// and prints what happened to every frame and a summary.

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/hex_text.h"
#include "base/program_options.h"
#include "tools/station/station_commands.h"
#include "tools/station/station_frames.h"
#include "tools/station/station_port.h"
#include "tools/station/station_stats.h"

namespace drv::station {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kProgram = "drvtirval-station";
constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;

struct Options {
  bool pty = false;
  std::string device;
  std::string link;
  long baud = 9600;
  long retries = 3;
  long retryIntervalMs = 4000;
  std::optional<long> count;
  std::optional<double> durationS;
  std::optional<unsigned> seed;
  uint8_t endMark = kDefaultEndMark;
  FrameFaults faults;
  std::string script;
  std::optional<double> randomRate;
  std::vector<std::string> commandWords;
};

class UsageError {
 public:
  explicit UsageError(std::string text) : text_(std::move(text)) {}
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

OptionValue PositiveNumber(std::optional<double>& target) {
  return Checked("a number above 0", [&target](std::string_view text) {
    double value = 0;
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || stop != text.data() + text.size() || !(value > 0) ||
        value > 1e9) {
      return false;
    }
    target = value;
    return true;
  });
}

// The --help text around the options' own lines. Descriptions start in column 24, also under a
// long WHAT, so that help2man can turn every list into a tagged list of the manual page.
constexpr char kUsageHead[] =
    "Usage: drvtirval-station (--pty [--link PATH] | --device PATH) [options] WHAT\n"
    "\n"
    "Plays a central receiving station: sends frames on a serial line, waits for the\n"
    "reply byte (05 accepted, 07 refused) and resends on 07 or silence.\n"
    "\n"
    "Prints 'message N: WHAT' for every message, then 'frame N try K reply 05|07|none\n"
    "after MS ms: HEX' for every transmission, and at the end (also on Ctrl-C) one line\n"
    "'summary frames .. sent .. acknowledged .. refused .. unanswered .. given-up ..\n"
    "latency p50 .. ms p99 .. ms max .. ms'.\n"
    "\n"
    "WHAT is one of:\n"
    "  report --object N --code CODE --zone Z --partition P [--qualifier 1|3]\n"
    "                       a report message with a numeric event code: object\n"
    "                       0..65535, event number CODE 0..1023 (130 burglary, 110 fire,\n"
    "                       ...), zone 0..255, partition 0..15; qualifier 1 (new event,\n"
    "                       default) or 3 (restore)\n"
    "  block SUB-BLOCK...   a block message: the sub-blocks below, in the order given\n"
    "  raw HEX... [--no-checksum]\n"
    "                       the message bytes in hex (F2 0E or F20E); the checksum is\n"
    "                       appended\n";
constexpr char kSubBlocksAndLine[] =
    "\n"
    "Sub-blocks of a block message, each a word and a value:\n"
    "  object N             object 1..4096\n"
    "  code HH              event code, one hex byte (64 = zone masks)\n"
    "  zone Z               zone 1..64 (applies to codes 05 06 07 40 54)\n"
    "  zones Z,Z,...        one event per zone, 1 to 31 zones\n"
    "  extra HH,HH,...      extra bytes (for code 64 the masks of zones 9-16, 1-8)\n"
    "\n"
    "Line:\n";
constexpr char kExitStatus[] =
    "\n"
    "Exit status:\n"
    "  0                    every frame was accepted\n"
    "  1                    a frame was given up, or the line failed\n"
    "  2                    a bad argument\n";

// The command line's options into `o`, each with its lines of the --help text.
std::vector<ProgramOption> OptionTable(Options& o) {
  return {
      HelpLines(kUsageHead),
      {"--script", Text(o.script),
       "  --script FILE        one of the commands above per line, or 'sleep MS'; '#'\n"
       "                       starts a comment\n"},
      {"--random", PositiveNumber(o.randomRate),
       "  --random RATE        random report and block messages, RATE frames per second at\n"
       "                       most\n"},
      HelpLines(kSubBlocksAndLine),
      {"--pty", Flag(o.pty),
       "  --pty                make a pseudo-terminal pair; the first line of output is\n"
       "                       'pty PATH', the path the driver opens\n"},
      {"--link", Text(o.link),
       "  --link PATH          with --pty: a symbolic link PATH to that path (removed at exit)\n"},
      {"--device", Text(o.device),
       "  --device PATH        use a serial device instead; on Windows a port such as\n"
       "                       COM3\n"},
      {"--baud",
       Checked("a standard rate",
               [&o](std::string_view text) {
                 const auto rate = ParseWholeNumber(text, 1, 4'000'000);
                 if (!rate || !IsStandardRate(static_cast<long>(*rate))) return false;
                 o.baud = static_cast<long>(*rate);
                 return true;
               }),
       "  --baud N             line speed, a standard rate (default 9600)\n"},
      HelpLines("\nSending:\n"),
      {"--retries", Number(o.retries, 0, 1000),
       "  --retries N          resends of an unanswered or refused frame (default 3)\n"},
      {"--retry-interval", Number(o.retryIntervalMs, 1, 3'600'000),
       "  --retry-interval MS  time to wait for the reply before a resend (default 4000)\n"},
      {"--count", Number(o.count, 1, 1'000'000'000),
       "  --count N            send the command N times, or stop --random after N messages\n"},
      {"--duration", PositiveNumber(o.durationS), "  --duration S         stop after S seconds\n"},
      {"--seed", Number(o.seed, 0, 4'294'967'295),
       "  --seed N             seed of --random and --noise, for a repeatable run\n"},
      {"--end-mark",
       Checked("one hex byte with both low bits set, such as 03 or 43",
               [&o](std::string_view text) {
                 const std::string word(text);
                 const auto bytes = ParseHexWords(std::span<const std::string>(&word, 1));
                 if (!bytes || bytes->size() != 1 || !IsEndMark(bytes->front())) return false;
                 o.endMark = bytes->front();
                 return true;
               }),
       "  --end-mark HH        end-of-frame byte, low two bits set (default 03)\n"},
      HelpLines("\nSpoiling frames on purpose (also per line of a script):\n"),
      {"--bad-checksum", Flag(o.faults.badChecksum),
       "  --bad-checksum       the checksum byte is off by one\n"},
      {"--no-end-mark", Flag(o.faults.noEndMark),
       "  --no-end-mark        the frame has no end mark\n"},
      {"--noise", Number(o.faults.noiseBytes, 0, kMaxNoiseBytes),
       "  --noise N            N random bytes before the start byte\n"},
      HelpLines("\nOther options:\n"),
      {"--help", ShowsHelp(), "  --help               show this text\n"},
      {"--version", ShowsVersion(), "  --version            show the version\n"},
      HelpLines(kExitStatus),
  };
}

// What the options cannot say one by one: where the frames go and where they come from.
void CheckOptions(const Options& options) {
  if (options.pty == !options.device.empty()) {
    throw UsageError("give either --pty or --device PATH");
  }
  if (!options.link.empty() && !options.pty) throw UsageError("--link needs --pty");
  const int sources = (options.commandWords.empty() ? 0 : 1) + (options.script.empty() ? 0 : 1) +
                      (options.randomRate ? 1 : 0);
  if (sources != 1) {
    throw UsageError("give exactly one of a command (report, block, raw), --script or --random");
  }
  if (options.count && !options.script.empty())
    throw UsageError("--count does not go with --script");
}

std::vector<StationCommand> ReadScript(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw UsageError("cannot read the script " + path);
  std::vector<StationCommand> commands;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const auto words = SplitScriptLine(line);
    if (words.empty()) continue;
    ParsedCommand parsed = ParseStationCommand(words);
    if (!parsed.command) {
      throw UsageError(path + ":" + std::to_string(number) + ": " + parsed.error);
    }
    commands.push_back(std::move(*parsed.command));
  }
  return commands;
}

class StationRun {
 public:
  StationRun(const Options& options, StationPort& line)
      : options_(options), line_(line), random_(options.seed.value_or(std::random_device{}())) {
    if (options.durationS) {
      deadline_ = Clock::now() +
                  std::chrono::milliseconds(static_cast<int64_t>(*options.durationS * 1000.0));
    }
  }

  // False once the run is to end: a stop was requested or the duration is over.
  bool Running() {
    if (stopped_) return false;
    if (StopRequest::Requested() || (deadline_ && Clock::now() >= *deadline_)) stopped_ = true;
    return !stopped_;
  }

  void Sleep(int milliseconds) {
    const auto until = Clock::now() + std::chrono::milliseconds(milliseconds);
    while (Running()) {
      const int left = CappedWait(until);
      if (left == 0) return;
      StopRequest::Wait(left);
    }
  }

  void Send(const SendCommand& command) {
    if (!Running()) return;
    const FrameFaults faults = Combined(command.faults);
    const StationMessage& message = command.message;
    const std::vector<uint8_t> decoded =
        message.appendChecksum ? WithChecksum(message.bytes, faults.badChecksum) : message.bytes;
    std::vector<uint8_t> bytes = NoiseBytes(static_cast<std::size_t>(faults.noiseBytes), random_);
    const std::vector<uint8_t> frame =
        EncodeFrame(decoded, faults.noEndMark ? std::nullopt : std::optional(options_.endMark));
    bytes.insert(bytes.end(), frame.begin(), frame.end());

    const int number = ++stats_.frames;
    std::cout << "message " << number << ": " << message.description << '\n';
    for (long attempt = 1; attempt <= options_.retries + 1; ++attempt) {
      if (attempt > 1 && !Running()) return;
      if (Transmit(number, attempt, bytes)) return;
    }
    ++stats_.givenUp;
  }

  void Run(const std::vector<StationCommand>& commands) {
    for (const StationCommand& command : commands) {
      if (!Running()) return;
      if (const auto* send = std::get_if<SendCommand>(&command)) {
        Send(*send);
      } else {
        Sleep(std::get<SleepCommand>(command).milliseconds);
      }
    }
  }

  void RunRandom(double rate) {
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
    auto next = Clock::now();
    for (long sent = 0; !options_.count || sent < *options_.count; ++sent) {
      if (!Running()) return;
      const auto now = Clock::now();
      if (next > now) {
        Sleep(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count()));
        if (!Running()) return;
      }
      // Behind schedule (replies took long): carry on from now rather than burst.
      next = std::max(next, Clock::now() - period) + period;
      Send(SendCommand{RandomMessage(random_), {}});
    }
  }

  const StationStats& Stats() const { return stats_; }
  bool LineFailed() const { return lineFailed_; }

 private:
  FrameFaults Combined(const FrameFaults& own) const {
    FrameFaults faults = own;
    faults.badChecksum = faults.badChecksum || options_.faults.badChecksum;
    faults.noEndMark = faults.noEndMark || options_.faults.noEndMark;
    faults.noiseBytes = std::max(faults.noiseBytes, options_.faults.noiseBytes);
    return faults;
  }

  // Milliseconds left until `until`, cut at the end of the run.
  int CappedWait(Clock::time_point until) const {
    if (deadline_) until = std::min(until, *deadline_);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }

  // One transmission; true when the frame was acknowledged.
  bool Transmit(int number, long attempt, const std::vector<uint8_t>& bytes) {
    line_.DiscardInput();
    const auto start = Clock::now();
    const int interval = static_cast<int>(options_.retryIntervalMs);
    ReplyOutcome outcome = ReplyOutcome::kNone;
    if (line_.WriteAll(bytes, interval)) {
      outcome = line_.WaitForReply(CappedWait(start + std::chrono::milliseconds(interval)));
    } else if (!lineFailed_) {
      std::cerr << kProgram << ": the line does not take the frame: " << line_.LastErrorText()
                << '\n';
      lineFailed_ = true;
    }
    const int64_t elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    ++stats_.sent;
    const char* reply = "none";
    switch (outcome) {
      case ReplyOutcome::kAcknowledged:
        reply = "05";
        ++stats_.acknowledged;
        stats_.latenciesMs.push_back(elapsed);
        break;
      case ReplyOutcome::kRefused:
        reply = "07";
        ++stats_.refused;
        stats_.latenciesMs.push_back(elapsed);
        break;
      case ReplyOutcome::kStopped:
        stopped_ = true;
        ++stats_.unanswered;
        break;
      case ReplyOutcome::kNone:
        ++stats_.unanswered;
        break;
    }
    std::cout << "frame " << number << " try " << attempt << " reply " << reply << " after "
              << elapsed << " ms: " << BlankSeparatedHex(bytes) << '\n';
    return outcome == ReplyOutcome::kAcknowledged;
  }

  const Options& options_;
  StationPort& line_;
  std::mt19937 random_;
  std::optional<Clock::time_point> deadline_;
  bool stopped_ = false;
  bool lineFailed_ = false;
  StationStats stats_;
};

// The --link symlink, removed at the end when it still points at this run's pty.
class PeerLink {
 public:
  ~PeerLink() {
    std::error_code error;
    if (!path_.empty() && std::filesystem::read_symlink(path_, error) == target_) {
      std::filesystem::remove(path_, error);
    }
  }

  bool Make(const std::string& path, const std::string& target) {
    std::error_code error;
    const auto status = std::filesystem::symlink_status(path, error);
    if (std::filesystem::exists(status) && !std::filesystem::is_symlink(status)) {
      std::cerr << kProgram << ": " << path << " exists and is not a symbolic link\n";
      return false;
    }
    std::filesystem::remove(path, error);
    std::filesystem::create_symlink(target, path, error);
    if (error) {
      std::cerr << kProgram << ": cannot make the link " << path << ": " << error.message() << '\n';
      return false;
    }
    path_ = path;
    target_ = target;
    return true;
  }

 private:
  std::filesystem::path path_;
  std::filesystem::path target_;
};

int Main(int argc, char** argv) {
  Options options;
  const std::vector<ProgramOption> table = OptionTable(options);
  const ProgramCommandLine commandLine =
      ReadCommandLine(table, ArgumentsOf(argc, argv), OperandRule::kCommand);
  if (const auto status = AnswerUnlessRun(commandLine, table, kProgram)) return *status;
  options.commandWords = commandLine.operands;

  std::vector<StationCommand> commands;
  try {
    CheckOptions(options);
    if (!options.script.empty()) {
      commands = ReadScript(options.script);
    } else if (!options.randomRate) {
      ParsedCommand parsed = ParseStationCommand(options.commandWords);
      if (!parsed.command) throw UsageError(parsed.error);
      commands.assign(static_cast<std::size_t>(options.count.value_or(1)), *parsed.command);
    }
  } catch (const UsageError& error) {
    std::cerr << UsageErrorText(kProgram, error.Text());
    return kUsageErrorStatus;
  }

  LineBufferStandardOutput();
  if (!StopRequest::Install()) {
    std::cerr << kProgram << ": cannot install the stop handlers\n";
    return kExitFailed;
  }
  StationPort line;
  std::string error;
  if (options.pty ? !line.OpenPty(options.baud, error)
                  : !line.OpenDevice(options.device, options.baud, error)) {
    std::cerr << kProgram << ": " << error << '\n';
    return kExitFailed;
  }
  PeerLink link;
  if (options.pty) {
    // The link exists before the path is announced, so a script may use either at once.
    if (!options.link.empty() && !link.Make(options.link, line.PeerPath())) return kExitFailed;
    std::cout << "pty " << line.PeerPath() << std::endl;
  }

  StationRun run(options, line);
  if (options.randomRate) {
    run.RunRandom(*options.randomRate);
  } else {
    run.Run(commands);
  }
  std::cout << run.Stats().SummaryLine() << std::endl;
  return run.Stats().givenUp == 0 && !run.LineFailed() ? kExitDone : kExitFailed;
}

}  // namespace
}  // namespace drv::station

int main(int argc, char** argv) {
  return drv::station::Main(argc, argv);
}
