#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace drv {

// Every program of the project reads its command line the same way, against a table of its
// options: options and other words in any order; an option's value is the next argument, whatever
// it looks like, or follows '=' ("--port 5", "--port=5"); "--" ends the options of a program that
// takes other words; --help and --version answer where they stand, after the words before them
// have been read. A refusal reads "PROGRAM: WHAT IS WRONG" and "Try 'PROGRAM --help'." on the
// error output, exit status 2.

// What the command line asks the program to do.
enum class ProgramRequest { kRun, kHelp, kVersion, kRefused };

// What the words that are no options may be.
enum class OperandRule {
  kNone,     // there are none
  kAny,      // files or directories; the program checks how many it got
  kCommand,  // a command with its own words: from the first word on, a "--word" that is not in
             // the table is one of the command's words
};

// How an option takes its value; made by the functions below.
struct OptionValue {
  enum class Kind { kText, kFlag, kValue, kHelp, kVersion };
  Kind kind = Kind::kText;
  // kFlag: called with "" when the option is given; kValue: called with the value, false refuses
  // it.
  std::function<bool(std::string_view)> take;
  // kValue: what a refused value should have been, such as "a number from 0 to 65535".
  std::string expected;
};

// One row of a program's table: the option, how it takes its value, and its lines of the --help
// text exactly as printed. A row without a name is text of the --help only.
struct ProgramOption {
  std::string_view name;  // "--port"
  OptionValue value;
  std::string_view help;
};

// Lines of the --help text between the options: the usage, headings, the exit statuses.
ProgramOption HelpLines(std::string_view text);

OptionValue Flag(bool& target);
OptionValue Text(std::string& target);
// A value that `take` checks and keeps; `expected` says what it must be.
OptionValue Checked(std::string expected, std::function<bool(std::string_view)> take);
OptionValue ShowsHelp();
OptionValue ShowsVersion();

// A whole number in [low, high] written in decimal without a sign '+'; nullopt for anything
// else.
std::optional<int64_t> ParseWholeNumber(std::string_view text, int64_t low, int64_t high);
// "a number from 0 to 65535"; "a number of at least 1" when there is no upper bound.
std::string NumberExpectation(int64_t low, int64_t high);

template <typename Target>
struct IntegerOf {
  using type = Target;
};
template <typename Target>
struct IntegerOf<std::optional<Target>> {
  using type = Target;
};

// A whole number in [low, high], into an integer or an optional one.
template <typename Target>
OptionValue Number(Target& target, int64_t low, int64_t high) {
  using Integer = typename IntegerOf<Target>::type;
  static_assert(std::integral<Integer>);
  return Checked(NumberExpectation(low, high), [&target, low, high](std::string_view text) {
    const std::optional<int64_t> value = ParseWholeNumber(text, low, high);
    if (value) target = static_cast<Integer>(*value);
    return value.has_value();
  });
}

// What a command line asked for, read against a table.
struct ProgramCommandLine {
  ProgramRequest request = ProgramRequest::kRun;
  std::vector<std::string> operands;  // the words that are no options, in their order
  std::string error;                  // kRefused: what is wrong
  std::string argument;               // kRefused: the argument that is wrong
};

ProgramCommandLine ReadCommandLine(std::span<const ProgramOption> table,
                                   std::span<const std::string> arguments, OperandRule operands);
// The arguments after the program's name.
std::vector<std::string> ArgumentsOf(int argc, char** argv);

// Every row's help lines, in the table's order.
std::string HelpTextOf(std::span<const ProgramOption> table);
// "PROGRAM VERSION" and a line end.
std::string ProgramVersionLine(std::string_view program, std::string_view version);
// "PROGRAM: ERROR", a line end, "Try 'PROGRAM --help'." and a line end.
std::string UsageErrorText(std::string_view program, std::string_view error);
// The exit status of a refused command line.
inline constexpr int kUsageErrorStatus = 2;

// For a program that writes to the standard streams: prints the help, the version or the
// refusal and returns the exit status; nullopt when the program is to run.
std::optional<int> AnswerUnlessRun(const ProgramCommandLine& commandLine,
                                   std::span<const ProgramOption> table, std::string_view program);

}  // namespace drv
