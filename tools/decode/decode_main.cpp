// drvtirval-decode: feeds hex packets (or frame log lines) through the driver's frame decoder and
// message interpretation and prints the reply bytes and event records they produce.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/clock.h"
#include "base/hex_text.h"
#include "base/program_options.h"
#include "delivery/event_record.h"
#include "receiver/frame_decoder.h"
#include "receiver/message_interpreter.h"

namespace drv {
namespace {

constexpr std::string_view kProgram = "drvtirval-decode";

struct Options {
  int32_t firstNumber = 4;
  std::optional<TDateTime> now;
  bool logLines = false;
  std::string inputPath;  // empty: standard input
};

class FixedClock final : public IClock {
 public:
  explicit FixedClock(TDateTime now) : now_(now) {}
  uint32_t TickCount() const override { return 0; }
  uint64_t MicrosecondCount() const override { return 0; }
  TDateTime Now() const override { return now_; }
  int64_t UnixTimeMs() const override { return 0; }

 private:
  TDateTime now_;
};

class PrintingReply final : public IByteWriter {
 public:
  bool WriteByte(uint8_t value) override {
    std::cout << "reply " << CompactHex({&value, 1}) << '\n';
    return true;
  }
};

class PrintingEventSink final : public IEventSink {
 public:
  bool StoreEventRecords(std::span<const EventRecordBytes> records) override {
    for (const EventRecordBytes& record : records) {
      std::cout << "record " << CompactHex(record) << ' '
                << DescribeEventRecord(*ParseEventRecord(record)) << '\n';
    }
    return true;
  }
};

class NoDisplay final : public IDisplayList {
 public:
  std::size_t LineCount() const override { return 0; }
  void DeleteFirstLine() override {}
  void AppendLine(const std::string&) override {}
};

constexpr char kUsageHead[] =
    "Usage: drvtirval-decode [options] [FILE]\n"
    "\n"
    "Reads hex text from FILE (or standard input), one serial packet per line, and feeds\n"
    "each line through the driver's frame decoder as the serial port would; the decoder's\n"
    "state carries over from line to line. Blanks between bytes are allowed; empty lines\n"
    "and lines starting with '#' are skipped.\n"
    "\n"
    "Prints 'record <54 hex digits> <fields>' for every event record emitted and\n"
    "'reply XX' for every processed frame, in the driver's order: a frame's records are\n"
    "stored before its reply goes out.\n"
    "\n"
    "Options:\n";
constexpr char kExitStatus[] =
    "\n"
    "Exit status:\n"
    "  0                every line was read\n"
    "  1                a line was bad (it is reported on standard error and skipped)\n"
    "  2                a bad option\n";

// The command line's options into `o`, each with its lines of the --help text.
std::vector<ProgramOption> OptionTable(Options& o) {
  return {
      HelpLines(kUsageHead),
      {"--first-number",
       Number(o.firstNumber, std::numeric_limits<int32_t>::min(),
              std::numeric_limits<int32_t>::max()),
       "  --first-number N  object number block added to every record (default 4)\n"},
      {"--now",
       Checked("a TDateTime number",
               [&o](std::string_view text) {
                 double now = 0;
                 const char* end = text.data() + text.size();
                 const auto [stop, error] = std::from_chars(text.data(), end, now);
                 if (error != std::errc() || stop != end || !std::isfinite(now)) return false;
                 o.now = now;
                 return true;
               }),
       "  --now T          the current time as a TDateTime number (days since 1899-12-30),\n"
       "                   for reproducible output; default the system clock\n"},
      {"--log", Flag(o.logLines),
       "  --log            input lines are frame log lines: the hex text between \" - \" and\n"
       "                   the object number label is taken as one frame's decoded bytes\n"},
      {"--help", ShowsHelp(), "  --help           show this text\n"},
      {"--version", ShowsVersion(), "  --version        show the version\n"},
      HelpLines(kExitStatus),
  };
}

// Returns the exit status to end with, or nullopt to go on.
std::optional<int> ReadOptions(int argc, char** argv, Options& options) {
  const std::vector<ProgramOption> table = OptionTable(options);
  const ProgramCommandLine commandLine =
      ReadCommandLine(table, ArgumentsOf(argc, argv), OperandRule::kAny);
  if (const auto status = AnswerUnlessRun(commandLine, table, kProgram)) return status;
  if (commandLine.operands.size() > 1) {
    std::cerr << UsageErrorText(kProgram, "more than one input file given");
    return kUsageErrorStatus;
  }
  // "-" is the standard input, as no file is.
  if (!commandLine.operands.empty() && commandLine.operands.front() != "-") {
    options.inputPath = commandLine.operands.front();
  }
  return std::nullopt;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// Hex bytes separated by any blanks; every run of digits must hold whole bytes.
std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view text, std::string& error) {
  std::vector<uint8_t> bytes;
  std::size_t i = 0;
  while (i < text.size()) {
    if (IsBlank(text[i])) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    while (i < text.size() && !IsBlank(text[i])) ++i;
    const std::string_view run = text.substr(start, i - start);
    for (const char c : run) {
      if (HexValue(c) < 0) {
        error = "not a hex digit: '" + std::string(1, c) + "' in '" + std::string(run) + "'";
        return std::nullopt;
      }
    }
    if (run.size() % 2 != 0) {
      error = "odd number of hex digits in '" + std::string(run) + "'";
      return std::nullopt;
    }
    for (std::size_t k = 0; k < run.size(); k += 2) {
      bytes.push_back(static_cast<uint8_t>(HexValue(run[k]) * 16 + HexValue(run[k + 1])));
    }
  }
  return bytes;
}

// The spaced hex text of a frame log line: between the first " - " and the label " Номер",
// which stands in Windows-1251 in the log (and in UTF-8 when the log has been converted).
std::optional<std::string_view> HexTextOfLogLine(std::string_view line) {
  const std::size_t dash = line.find(" - ");
  if (dash == std::string_view::npos) return std::nullopt;
  const std::size_t start = dash + 3;
  // The label's own blank may be the last blank of " - " when the frame had no bytes.
  const std::size_t searchFrom = dash + 2;
  std::size_t label = line.find(" \xCD\xEE\xEC\xE5\xF0 - ", searchFrom);
  if (label == std::string_view::npos) label = line.find(" Номер - ", searchFrom);
  if (label == std::string_view::npos) return std::nullopt;
  if (label < start) return std::string_view();
  return line.substr(start, label - start);
}

int Run(const Options& options, std::istream& in) {
  SystemClock systemClock;
  FixedClock fixedClock(options.now.value_or(0.0));
  IClock& clock = options.now ? static_cast<IClock&>(fixedClock) : systemClock;

  PrintingEventSink events;
  EventEmitter emitter(options.firstNumber, events);
  MessageInterpreter interpreter(clock, emitter);
  PrintingReply reply;
  NoDisplay display;
  FrameDecoder decoder(FrameDecoderContext{
      .clock = clock,
      .reply = reply,
      .display = display,
      .displayEnabled = [] { return false; },
      .log = nullptr,
      .sink = interpreter,
  });

  bool anyBad = false;
  std::string line;
  for (long lineNumber = 1; std::getline(in, line); ++lineNumber) {
    std::string_view text = line;
    while (!text.empty() && (text.back() == '\r' || IsBlank(text.back()))) text.remove_suffix(1);
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    if (text.empty() || text.front() == '#') continue;

    auto reportBad = [&](const std::string& message) {
      std::cout.flush();
      std::cerr << kProgram << ": line " << lineNumber << ": " << message << '\n';
      anyBad = true;
    };
    std::string_view hexText = text;
    if (options.logLines) {
      const auto extracted = HexTextOfLogLine(text);
      if (!extracted) {
        reportBad("not a frame log line (no \" - \" ... \" Номер - \")");
        continue;
      }
      hexText = *extracted;
    }
    std::string error;
    const auto bytes = ParseHexBytes(hexText, error);
    if (!bytes) {
      reportBad(error);
      continue;
    }
    if (options.logLines) {
      decoder.ProcessDecodedFrame(*bytes);
    } else if (!bytes->empty()) {
      // Packets are short; the serial port never hands over more than fits in a signed count.
      decoder.ReceivePacket(bytes->data(), static_cast<int32_t>(bytes->size()));
    }
  }
  std::cout.flush();
  return anyBad ? 1 : 0;
}

}  // namespace
}  // namespace drv

int main(int argc, char** argv) {
  drv::Options options;
  if (const auto status = drv::ReadOptions(argc, argv, options)) return *status;
  if (options.inputPath.empty()) return drv::Run(options, std::cin);
  std::ifstream file(options.inputPath, std::ios::binary);
  if (!file) {
    std::cerr << drv::kProgram << ": cannot open '" << options.inputPath << "'\n";
    return 2;
  }
  return drv::Run(options, file);
}
