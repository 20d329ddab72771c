#include "ui/command_line.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fakes/temp_dir.h"

namespace drv {
namespace {

struct ParseCase {
  std::vector<std::string> arguments;
  CommandLineAction action;
  std::string badArgument;
  bool window = true;
};

TEST(CommandLineTest, TheFirstArgumentDecides) {
  const ParseCase cases[] = {
      {{}, CommandLineAction::kRun, ""},
      {{"--help"}, CommandLineAction::kHelp, ""},
      {{"--version"}, CommandLineAction::kVersion, ""},
      {{"--help", "--port=COM1"}, CommandLineAction::kHelp, ""},
      {{"--version", "--help"}, CommandLineAction::kVersion, ""},
      {{"--port=COM1", "--help"}, CommandLineAction::kBadArgument, "--port=COM1"},
      {{"-h"}, CommandLineAction::kBadArgument, "-h"},
      {{"--HELP"}, CommandLineAction::kBadArgument, "--HELP"},
      {{""}, CommandLineAction::kBadArgument, ""},
      {{"--"}, CommandLineAction::kBadArgument, "--"},
      {{"--help=all"}, CommandLineAction::kBadArgument, "--help=all"},
      {{"--no-window"}, CommandLineAction::kRun, "", false},
      {{"--no-window", "--help"}, CommandLineAction::kHelp, ""},
      {{"--help", "--no-window"}, CommandLineAction::kHelp, ""},
      {{"--no-window", "COM1"}, CommandLineAction::kBadArgument, "COM1"},
      {{"--no-windows"}, CommandLineAction::kBadArgument, "--no-windows"},
  };
  for (const ParseCase& c : cases) {
    const CommandLineRequest request = ParseCommandLine(c.arguments);
    const std::string shown = c.arguments.empty() ? "(none)" : c.arguments.front();
    EXPECT_EQ(request.action, c.action) << shown;
    EXPECT_EQ(request.badArgument, c.badArgument) << shown;
    if (c.action == CommandLineAction::kRun) {
      EXPECT_EQ(request.window, c.window) << shown;
    }
  }
}

TEST(CommandLineTest, TextsNameTheProgram) {
  EXPECT_EQ(VersionText("1.0.0.1"), "drvtirval2000n 1.0.0.1\n");
  EXPECT_EQ(BadArgumentText("-x"),
            "drvtirval2000n: unknown argument '-x'\nTry 'drvtirval2000n --help'.\n");
}

TEST(CloseCodeFileTest, WritesTheCodeWholeAndReplacesAnOldOne) {
  testing::TempDir dir;
  const std::filesystem::path path = dir.Path() / "code";
  testing::WriteFileBytes(path, "99999\n-- an older, longer file --\n");

  ASSERT_TRUE(WriteCloseCodeFile(path.string(), "48213"));
  EXPECT_EQ(testing::ReadFileBytes(path), "48213\n");
  // Nothing is left beside it.
  int files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    ++files;
  }
  EXPECT_EQ(files, 1);
}

TEST(CloseCodeFileTest, FailsWhereTheFileCannotBeWritten) {
  testing::TempDir dir;
  EXPECT_FALSE(WriteCloseCodeFile((dir.Path() / "missing" / "code").string(), "48213"));
}

}  // namespace
}  // namespace drv
