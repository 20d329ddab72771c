#pragma once

#include <string>
#include <vector>

#include "base/program_options.h"

namespace drv {

// The driver program's command line, the same for every front end and read as every program's is
// (base/program_options.h): no arguments runs the driver with its window, --no-window runs it
// without one (a service), --help and --version print and end, anything else is refused.
enum class CommandLineAction { kRun, kHelp, kVersion, kBadArgument };

struct CommandLineRequest {
  CommandLineAction action = CommandLineAction::kRun;
  // With kRun: false for --no-window.
  bool window = true;
  std::string badArgument;  // the first argument refused, with kBadArgument
};

inline constexpr char kNoWindowOption[] = "--no-window";

// `arguments` without the program's name; --help and --version answer where they stand, so the
// first one decides.
CommandLineRequest ParseCommandLine(const std::vector<std::string>& arguments);

inline constexpr char kDriverProgramName[] = "drvtirval2000n";
// Service and test hook: when set, the close code is written to this file as soon as it is drawn.
inline constexpr char kCloseCodeFileVariable[] = "DRVTIRVAL_CLOSE_CODE_FILE";

// "drvtirval2000n 1.0.0.1" and a line end.
std::string VersionText(const std::string& version);
// What a refused argument prints on the error output.
std::string BadArgumentText(const std::string& argument);
// The exit status of a refused command line.
inline constexpr int kBadCommandLineStatus = kUsageErrorStatus;

// Writes `code` and a line end to `path` (UTF-8), whole: into a temporary file beside it that is
// then renamed into place, so that a reader never sees half a code. The file is its owner's
// alone from the start on POSIX systems; on Windows it has the permissions of its folder. False
// when that fails.
bool WriteCloseCodeFile(const std::string& path, const std::string& code);

}  // namespace drv
