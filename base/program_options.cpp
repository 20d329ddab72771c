#include "base/program_options.h"

#include <charconv>
#include <cstdio>
#include <limits>
#include <system_error>
#include <utility>

namespace drv {

namespace {

const ProgramOption* FindOption(std::span<const ProgramOption> table, std::string_view name) {
  for (const ProgramOption& option : table) {
    if (!option.name.empty() && option.name == name) return &option;
  }
  return nullptr;
}

ProgramCommandLine Refused(std::string error, std::string_view argument) {
  ProgramCommandLine refused;
  refused.request = ProgramRequest::kRefused;
  refused.error = std::move(error);
  refused.argument = std::string(argument);
  return refused;
}

}  // namespace

ProgramOption HelpLines(std::string_view text) {
  return {{}, {}, text};
}

OptionValue Flag(bool& target) {
  return {OptionValue::Kind::kFlag,
          [&target](std::string_view) {
            target = true;
            return true;
          },
          {}};
}

OptionValue Text(std::string& target) {
  return Checked("a value", [&target](std::string_view text) {
    target = std::string(text);
    return true;
  });
}

OptionValue Checked(std::string expected, std::function<bool(std::string_view)> take) {
  return {OptionValue::Kind::kValue, std::move(take), std::move(expected)};
}

OptionValue ShowsHelp() {
  return {OptionValue::Kind::kHelp, {}, {}};
}

OptionValue ShowsVersion() {
  return {OptionValue::Kind::kVersion, {}, {}};
}

std::optional<int64_t> ParseWholeNumber(std::string_view text, int64_t low, int64_t high) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

std::string NumberExpectation(int64_t low, int64_t high) {
  if (high == std::numeric_limits<int64_t>::max()) {
    return "a number of at least " + std::to_string(low);
  }
  return "a number from " + std::to_string(low) + " to " + std::to_string(high);
}

ProgramCommandLine ReadCommandLine(std::span<const ProgramOption> table,
                                   std::span<const std::string> arguments, OperandRule operands) {
  ProgramCommandLine read;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (!optionsEnded && argument == "--") {
      // It only makes way for words that look like options; a program that takes none refuses it.
      if (operands == OperandRule::kNone) {
        return Refused("unexpected argument '" + argument + "'", argument);
      }
      optionsEnded = true;
      continue;
    }
    // A lone "-" names the standard input, as a file would.
    const bool isOption = !optionsEnded && argument.size() > 1 && argument.front() == '-';
    if (!isOption) {
      if (operands == OperandRule::kNone) {
        return Refused("unexpected argument '" + argument + "'", argument);
      }
      read.operands.push_back(argument);
      continue;
    }

    std::string_view name = argument;
    std::optional<std::string_view> attachedValue;
    if (const std::size_t equals = name.find('='); name.starts_with("--") && equals != name.npos) {
      attachedValue = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    const ProgramOption* option = FindOption(table, name);
    if (option == nullptr) {
      if (operands == OperandRule::kCommand && !read.operands.empty()) {
        read.operands.push_back(argument);
        continue;
      }
      return Refused("unknown option '" + argument + "'", argument);
    }

    const OptionValue& value = option->value;
    if (value.kind != OptionValue::Kind::kValue) {
      if (attachedValue) return Refused(std::string(name) + " takes no value", argument);
      if (value.kind == OptionValue::Kind::kHelp) {
        read.request = ProgramRequest::kHelp;
        return read;
      }
      if (value.kind == OptionValue::Kind::kVersion) {
        read.request = ProgramRequest::kVersion;
        return read;
      }
      if (value.take) value.take({});
      continue;
    }
    if (!attachedValue && i + 1 >= arguments.size()) {
      return Refused(std::string(name) + " needs a value", argument);
    }
    const std::string_view text = attachedValue ? *attachedValue : arguments[++i];
    if (!value.take(text)) {
      return Refused(
          std::string(name) + " takes " + value.expected + ", not '" + std::string(text) + "'",
          argument);
    }
  }
  return read;
}

std::vector<std::string> ArgumentsOf(int argc, char** argv) {
  if (argc <= 1) return {};
  return std::vector<std::string>(argv + 1, argv + argc);
}

std::string HelpTextOf(std::span<const ProgramOption> table) {
  std::string text;
  for (const ProgramOption& option : table) text += option.help;
  return text;
}

std::string ProgramVersionLine(std::string_view program, std::string_view version) {
  return std::string(program) + " " + std::string(version) + "\n";
}

std::string UsageErrorText(std::string_view program, std::string_view error) {
  const std::string name(program);
  return name + ": " + std::string(error) + "\nTry '" + name + " --help'.\n";
}

std::optional<int> AnswerUnlessRun(const ProgramCommandLine& commandLine,
                                   std::span<const ProgramOption> table, std::string_view program) {
  switch (commandLine.request) {
    case ProgramRequest::kRun:
      return std::nullopt;
    case ProgramRequest::kHelp:
      std::fputs(HelpTextOf(table).c_str(), stdout);
      return 0;
    case ProgramRequest::kVersion:
      std::fputs(ProgramVersionLine(program, DRV_VERSION_TEXT).c_str(), stdout);
      return 0;
    case ProgramRequest::kRefused:
      std::fputs(UsageErrorText(program, commandLine.error).c_str(), stderr);
      return kUsageErrorStatus;
  }
  return kUsageErrorStatus;
}

}  // namespace drv
