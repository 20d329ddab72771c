// drvtirval-spool: lists and checks the driver's spool files.

#include <cstdio>
#include <string>
#include <vector>

#include "base/file_io.h"
#include "base/paths.h"
#include "base/program_options.h"
#include "delivery/spool_directory.h"
#include "tools/spool/spool_report.h"

namespace {

constexpr char kProgram[] = "drvtirval-spool";

struct Options {
  bool json = false;
  bool verify = false;
};

// The command line's options into `o`, each with its lines of the --help text.
std::vector<drv::ProgramOption> OptionTable(Options& o) {
  return {
      drv::HelpLines(
          "Usage: drvtirval-spool [--json] [--verify] DIR_OR_PREFIX\n"
          "\n"
          "Lists the driver's spool files (*.dd8) sorted by name, each with its message type\n"
          "and decoded event record, or DAMAGED with the reason. Files the driver has set\n"
          "aside (*.dd8.bad) are listed as damaged.\n"
          "\n"
          "DIR_OR_PREFIX is an existing directory, or the driver's spool prefix: a directory\n"
          "ending in '/', or a directory and the start of the file names (/var/spool/drv/ev).\n"
          "\n"
          "Options:\n"),
      {"--json", drv::Flag(o.json), "  --json      print a JSON array with one object per file\n"},
      {"--verify", drv::Flag(o.verify),
       "  --verify    print a one-line summary instead of the listing (with --json the\n"
       "              summary goes to stderr); exit status 1 when any file is damaged\n"},
      {"--help", drv::ShowsHelp(), "  --help      show this help\n"},
      {"-h", drv::ShowsHelp(), ""},
      {"--version", drv::ShowsVersion(), "  --version   show the version\n"},
      drv::HelpLines("\n"
                     "Exit status:\n"
                     "  0           done\n"
                     "  1           damaged files found by --verify\n"
                     "  2           bad arguments or an unreadable directory\n"),
  };
}

int UsageError(const std::string& message) {
  std::fputs(drv::UsageErrorText(kProgram, message).c_str(), stderr);
  return drv::kUsageErrorStatus;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const std::vector<drv::ProgramOption> table = OptionTable(options);
  const drv::ProgramCommandLine commandLine =
      drv::ReadCommandLine(table, drv::ArgumentsOf(argc, argv), drv::OperandRule::kAny);
  if (const auto status = drv::AnswerUnlessRun(commandLine, table, kProgram)) return *status;
  const std::vector<std::string>& operands = commandLine.operands;
  if (operands.empty()) return UsageError("missing spool directory or prefix");
  if (operands.size() > 1) return UsageError("more than one spool directory given");
  if (operands[0].empty()) return UsageError("the spool directory or prefix is empty");

  // An existing directory is taken as such even without its final separator.
  const std::string& target = operands[0];
  const drv::SpoolLocation location = drv::IsDirectory(target)
                                          ? drv::SpoolLocation{drv::JoinPath(target, ""), ""}
                                          : drv::SplitSpoolPrefix(target);

  std::string failure;
  const auto names = drv::tools::ListSpoolFiles(location, &failure);
  if (!names) {
    std::fprintf(stderr, "%s: %s\n", kProgram, failure.c_str());
    return 2;
  }

  std::vector<drv::tools::SpoolFileReport> reports;
  reports.reserve(names->size());
  std::size_t damaged = 0;
  for (const std::string& name : *names) {
    reports.push_back(drv::tools::InspectSpoolFile(location.directory, name));
    if (!reports.back().Ok()) ++damaged;
  }

  if (options.json) {
    std::fputs(drv::tools::FormatReportsJson(reports).c_str(), stdout);
  } else if (!options.verify) {
    for (const auto& report : reports) {
      std::printf("%s\n", drv::tools::FormatReportLine(report).c_str());
    }
  }
  if (options.verify) {
    std::fprintf(options.json ? stderr : stdout, "%zu spool files, %zu damaged\n", reports.size(),
                 damaged);
    return damaged == 0 ? 0 : 1;
  }
  return 0;
}
