#include "ui/command_line.h"

#include <fstream>
#include <system_error>

namespace drv {

CommandLineRequest ParseCommandLine(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return {};
  const std::string& first = arguments.front();
  if (first == "--help") return {CommandLineAction::kHelp, true, {}};
  if (first == "--version") return {CommandLineAction::kVersion, true, {}};
  if (first == kNoWindowOption) {
    if (arguments.size() > 1) return {CommandLineAction::kBadArgument, true, arguments[1]};
    return {CommandLineAction::kRun, false, {}};
  }
  return {CommandLineAction::kBadArgument, true, first};
}

std::string VersionText(const std::string& version) {
  return std::string(kDriverProgramName) + " " + version + "\n";
}

std::string BadArgumentText(const std::string& argument) {
  const std::string program = kDriverProgramName;
  return program + ": unknown argument '" + argument + "'\nTry '" + program + " --help'.\n";
}

bool WriteCloseCodeFile(const std::filesystem::path& path, const std::string& code) {
  std::filesystem::path temporary = path;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << code << '\n';
    out.flush();
    if (!out) return false;
  }
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  return !error;
}

}  // namespace drv
