#include "base/program_options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace drv {
namespace {

// What the options of the table below set.
struct Targets {
  bool deny = false;
  std::string device;
  int port = 12543;
  std::optional<long> count;
  int64_t after = 0;

  bool operator==(const Targets&) const = default;
};

void PrintTo(const Targets& t, std::ostream* out) {
  *out << "deny=" << t.deny << " device='" << t.device << "' port=" << t.port
       << " count=" << (t.count ? std::to_string(*t.count) : "none") << " after=" << t.after;
}

std::vector<ProgramOption> TableFor(Targets& t) {
  return {
      HelpLines("Usage: prog [options]\n\nOptions:\n"),
      {"--deny", Flag(t.deny), "  --deny        refuse\n"},
      {"--device", Text(t.device), "  --device PATH a device\n"},
      {"--port", Number(t.port, 0, 65535), "  --port N      a port\n"},
      {"--count", Number(t.count, 1, 1000), "  --count N     how many\n"},
      {"--after", Number(t.after, 1, std::numeric_limits<int64_t>::max()), ""},
      {"--help", ShowsHelp(), "  --help        this text\n"},
      {"-h", ShowsHelp(), ""},
      {"--version", ShowsVersion(), "  --version     the version\n"},
      HelpLines("\nExit status: 0 or 2\n"),
  };
}

struct ReadCase {
  std::vector<std::string> arguments;
  OperandRule rule;
  ProgramRequest request;
  Targets targets;                    // after reading
  std::vector<std::string> operands;  // with kRun
};

TEST(ProgramOptionsTest, ReadsOptionsValuesAndOperandsAgainstTheTable) {
  using enum ProgramRequest;
  using enum OperandRule;
  auto with = [](auto change) {
    Targets targets;
    change(targets);
    return targets;
  };
  const ReadCase cases[] = {
      {{}, kNone, kRun, {}, {}},
      {{"--deny"}, kNone, kRun, with([](Targets& t) { t.deny = true; }), {}},
      {{"--port", "80", "--device", "/dev/ttyS0"},
       kNone,
       kRun,
       with([](Targets& t) { t.port = 80, t.device = "/dev/ttyS0"; }),
       {}},
      {{"--port=0", "--count=1000"},
       kNone,
       kRun,
       with([](Targets& t) { t.port = 0, t.count = 1000; }),
       {}},
      // A value is the next argument whatever it looks like.
      {{"--device", "--deny"}, kNone, kRun, with([](Targets& t) { t.device = "--deny"; }), {}},
      {{"--device="}, kNone, kRun, {}, {}},
      {{"--after", "9223372036854775807"},
       kNone,
       kRun,
       with([](Targets& t) { t.after = std::numeric_limits<int64_t>::max(); }),
       {}},
      // Operands, the standard input's "-" and the end of the options.
      {{"in.txt", "--deny", "-"},
       kAny,
       kRun,
       with([](Targets& t) { t.deny = true; }),
       {"in.txt", "-"}},
      {{"--", "--deny", ""}, kAny, kRun, {}, {"--deny", ""}},
      // A command's own words begin with its first word; the table's options stay options.
      {{"raw", "F2", "--no-checksum", "--port", "5", "-1"},
       kCommand,
       kRun,
       with([](Targets& t) { t.port = 5; }),
       {"raw", "F2", "--no-checksum", "-1"}},
      // --help and --version answer where they stand.
      {{"--help", "--bogus"}, kNone, kHelp, {}, {}},
      {{"--deny", "-h"}, kNone, kHelp, {}, {}},
      {{"--version", "--help"}, kNone, kVersion, {}, {}},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    Targets targets;
    const ProgramCommandLine read = ReadCommandLine(TableFor(targets), c.arguments, c.rule);
    EXPECT_EQ(read.request, c.request);
    EXPECT_EQ(read.error, "");
    if (c.request == kRun) {
      EXPECT_EQ(read.operands, c.operands);
      EXPECT_EQ(targets, c.targets);
    }
  }
}

struct RefusalCase {
  std::vector<std::string> arguments;
  OperandRule rule;
  std::string error;
  std::string argument;  // the one refused
};

TEST(ProgramOptionsTest, RefusesTheFirstWrongArgumentSayingWhatIsWrong) {
  using enum OperandRule;
  const RefusalCase cases[] = {
      {{"--bogus", "--help"}, kNone, "unknown option '--bogus'", "--bogus"},
      {{"--bogus=1"}, kAny, "unknown option '--bogus=1'", "--bogus=1"},
      {{"-x"}, kAny, "unknown option '-x'", "-x"},
      {{"in.txt", "--bogus"}, kAny, "unknown option '--bogus'", "--bogus"},
      {{"--no-checksum", "raw"}, kCommand, "unknown option '--no-checksum'", "--no-checksum"},
      {{"in.txt"}, kNone, "unexpected argument 'in.txt'", "in.txt"},
      {{""}, kNone, "unexpected argument ''", ""},
      {{"--deny", "--"}, kNone, "unexpected argument '--'", "--"},
      {{"--port"}, kNone, "--port needs a value", "--port"},
      {{"--deny", "--count"}, kNone, "--count needs a value", "--count"},
      {{"--port", "x", "--version"},
       kNone,
       "--port takes a number from 0 to 65535, not 'x'",
       "--port"},
      {{"--port", "70000"}, kNone, "--port takes a number from 0 to 65535, not '70000'", "--port"},
      {{"--port=-1"}, kNone, "--port takes a number from 0 to 65535, not '-1'", "--port=-1"},
      {{"--port", "+80"}, kNone, "--port takes a number from 0 to 65535, not '+80'", "--port"},
      {{"--port", "80 "}, kNone, "--port takes a number from 0 to 65535, not '80 '", "--port"},
      {{"--port="}, kNone, "--port takes a number from 0 to 65535, not ''", "--port="},
      {{"--count", "0"}, kNone, "--count takes a number from 1 to 1000, not '0'", "--count"},
      {{"--after", "0"}, kNone, "--after takes a number of at least 1, not '0'", "--after"},
      {{"--after", "9223372036854775808"},
       kNone,
       "--after takes a number of at least 1, not '9223372036854775808'",
       "--after"},
      {{"--deny=yes"}, kNone, "--deny takes no value", "--deny=yes"},
      {{"--help=all"}, kNone, "--help takes no value", "--help=all"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    Targets targets;
    const ProgramCommandLine read = ReadCommandLine(TableFor(targets), c.arguments, c.rule);
    EXPECT_EQ(read.request, ProgramRequest::kRefused);
    EXPECT_EQ(read.error, c.error);
    EXPECT_EQ(read.argument, c.argument);
  }
}

TEST(ProgramOptionsTest, TheHelpIsEveryRowsLinesInTheTablesOrder) {
  Targets targets;
  EXPECT_EQ(HelpTextOf(TableFor(targets)),
            "Usage: prog [options]\n\nOptions:\n"
            "  --deny        refuse\n"
            "  --device PATH a device\n"
            "  --port N      a port\n"
            "  --count N     how many\n"
            "  --help        this text\n"
            "  --version     the version\n"
            "\nExit status: 0 or 2\n");
}

TEST(ProgramOptionsTest, TextsNameTheProgram) {
  EXPECT_EQ(ProgramVersionLine("drvtirval-server", "1.0.0.1"), "drvtirval-server 1.0.0.1\n");
  EXPECT_EQ(UsageErrorText("drvtirval-server", "unknown option '--bogus'"),
            "drvtirval-server: unknown option '--bogus'\nTry 'drvtirval-server --help'.\n");
}

}  // namespace
}  // namespace drv
