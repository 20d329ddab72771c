#include "ui/command_line.h"

#include <cstdint>

#include "base/durable_write.h"
#include "base/file_system.h"
#include "base/program_options.h"

namespace drv {

CommandLineRequest ParseCommandLine(const std::vector<std::string>& arguments) {
  // Each front end prints its own --help: the texts differ in their platform's words.
  bool noWindow = false;
  const ProgramOption options[] = {
      {kNoWindowOption, Flag(noWindow), {}},
      {"--help", ShowsHelp(), {}},
      {"--version", ShowsVersion(), {}},
  };
  const ProgramCommandLine read = ReadCommandLine(options, arguments, OperandRule::kNone);
  switch (read.request) {
    case ProgramRequest::kRun:
      return {CommandLineAction::kRun, !noWindow, {}};
    case ProgramRequest::kHelp:
      return {CommandLineAction::kHelp, true, {}};
    case ProgramRequest::kVersion:
      return {CommandLineAction::kVersion, true, {}};
    case ProgramRequest::kRefused:
      break;
  }
  return {CommandLineAction::kBadArgument, true, read.argument};
}

std::string VersionText(const std::string& version) {
  return ProgramVersionLine(kDriverProgramName, version);
}

std::string BadArgumentText(const std::string& argument) {
  // The driver takes no argument but these two: whatever else is given, it is unknown.
  return UsageErrorText(kDriverProgramName, "unknown argument '" + argument + "'");
}

bool WriteCloseCodeFile(const std::string& path, const std::string& code) {
  const std::string line = code + "\n";
  return ReplaceFileDurably(RealFileSystem(), path,
                            {reinterpret_cast<const uint8_t*>(line.data()), line.size()},
                            NewFileAccess::kOwnerOnly)
      .has_value();
}

}  // namespace drv
