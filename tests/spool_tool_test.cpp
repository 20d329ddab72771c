#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "delivery/event_record.h"
#include "delivery/spool_directory.h"
#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;
using drv::testing::ReadFileBytes;
using drv::testing::TempDir;
using drv::testing::WriteFileBytes;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the spool tool with its output caught in files.
RunResult RunTool(const std::vector<std::string>& args) {
  TempDir outputDir;
  const std::string outPath = outputDir.File("out");
  const std::string errPath = outputDir.File("err");
  std::vector<std::string> argv = {std::string(DRV_BIN_DIR) + "/drvtirval-spool"};
  argv.insert(argv.end(), args.begin(), args.end());

  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0) _exit(125);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    execv(raw[0], raw.data());
    _exit(127);
  }
  RunResult result;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  }
  result.out = ReadFileBytes(outPath);
  result.err = ReadFileBytes(errPath);
  return result;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

std::string SpoolBytes(uint32_t type, std::size_t payloadSize, int32_t objectNumber = 41234) {
  EventRecord record;
  record.ObjectNumber = objectNumber;
  record.SetEventCode("1130");
  record.Zone = 5;
  record.EventTime = EncodeDateTime({2026, 12, 5, 13, 45, 7, 123});
  const EventRecordBytes bytes = SerializeEventRecord(record);
  std::string content;
  for (int shift = 0; shift < 32; shift += 8) content += static_cast<char>(type >> shift);
  for (std::size_t i = 0; i < payloadSize; ++i) content += static_cast<char>(bytes[i % 27]);
  return content;
}

class SpoolToolTest : public ::testing::Test {
 protected:
  void PutGoodFile(const std::string& name, int32_t objectNumber = 41234) {
    WriteFileBytes(dir.Path() / name, SpoolBytes(0x03000042, 27, objectNumber));
  }
  // One good file and one of every kind of damage, among files that are not the spool's.
  void PutMixedSpool() {
    PutGoodFile("1CB33733.dd8");
    WriteFileBytes(dir.Path() / "5265C00.dd8", "abc");
    WriteFileBytes(dir.Path() / "A.dd8", SpoolBytes(0x02000000, 27));
    WriteFileBytes(dir.Path() / "B.dd8", SpoolBytes(0x03000042, 26));
    PutGoodFile("C.dd8.bad");
    fs::create_directory(dir.Path() / "D.dd8");
    WriteFileBytes(dir.Path() / "notes.txt", "not a spool file");
    WriteFileBytes(dir.Path() / ".spool-1-0.tmp", SpoolBytes(0x03000042, 27));
  }
  std::string DirArg() const { return dir.Path().string() + "/"; }

  TempDir dir;
};

TEST_F(SpoolToolTest, ListsSpoolFilesByNameWithRecordOrDamage) {
  PutMixedSpool();
  const RunResult run = RunTool({DirArg()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(
      Lines(run.out),
      ElementsAre(
          AllOf(StartsWith("1CB33733.dd8  31 bytes  type 0x03000042  object=41234 code=1130"),
                HasSubstr("zone=5"), HasSubstr("time=2026-12-05 13:45:07.123")),
          StartsWith("5265C00.dd8  3 bytes  DAMAGED: too short: 3 bytes"),
          AllOf(StartsWith("A.dd8  31 bytes  type 0x02000000  DAMAGED: wrong type 0x02000000"),
                HasSubstr("object=41234")),
          StartsWith("B.dd8  30 bytes  type 0x03000042  DAMAGED: payload is 26 bytes, not 27"),
          AllOf(StartsWith("C.dd8.bad  31 bytes  type 0x03000042  DAMAGED: set aside"),
                HasSubstr("object=41234")),
          StartsWith("D.dd8  DAMAGED: unreadable: not a regular file")));
}

TEST_F(SpoolToolTest, VerifySummarisesAndFailsOnDamage) {
  PutGoodFile("1CB33733.dd8");
  RunResult run = RunTool({"--verify", DirArg()});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "1 spool files, 0 damaged\n");

  PutMixedSpool();
  run = RunTool({"--verify", DirArg()});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "6 spool files, 5 damaged\n");

  fs::remove_all(dir.Path());
  fs::create_directory(dir.Path());
  run = RunTool({"--verify", DirArg()});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "0 spool files, 0 damaged\n");
}

TEST_F(SpoolToolTest, JsonHasOneObjectPerFileWithEscapedNames) {
  PutGoodFile("1CB33733.dd8");
  WriteFileBytes(dir.Path() / "5265C00.dd8", "abc");
  WriteFileBytes(dir.Path() / "q\"\n\xff.dd8", "abc");
  const RunResult run = RunTool({"--json", "--verify", DirArg()});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "3 spool files, 2 damaged\n");
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 5u) << run.out;
  EXPECT_EQ(lines[0], "[");
  EXPECT_THAT(lines[1],
              AllOf(StartsWith("  {\"file\":\"1CB33733.dd8\",\"size\":31,\"type\":50331714,"
                               "\"ok\":true,\"record\":{\"object\":41234,\"code\":\"1130\","),
                    HasSubstr("\"zone\":5"), HasSubstr("\"time\":\"2026-12-05 13:45:07.123\""),
                    HasSubstr("}},")));
  EXPECT_EQ(lines[2],
            "  {\"file\":\"5265C00.dd8\",\"size\":3,\"type\":null,\"ok\":false,"
            "\"error\":\"too short: 3 bytes\"},");
  EXPECT_THAT(lines[3], StartsWith("  {\"file\":\"q\\\"\\u000a\\ufffd.dd8\",\"size\":3,"));
  EXPECT_EQ(lines[4], "]");

  fs::remove_all(dir.Path());
  fs::create_directory(dir.Path());
  EXPECT_EQ(RunTool({"--json", DirArg()}).out, "[]\n");
}

TEST_F(SpoolToolTest, TakesTheDriversPrefixOrAPlainDirectory) {
  PutGoodFile("ev1CB33733.dd8", 1);
  PutGoodFile("1CB33733.dd8", 2);
  RunResult run = RunTool({"--verify", dir.Path().string() + "/ev"});
  EXPECT_EQ(run.out, "1 spool files, 0 damaged\n");

  run = RunTool({dir.Path().string()});
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(Lines(run.out), ElementsAre(StartsWith("1CB33733.dd8"), StartsWith("ev1CB33733")));
}

TEST(SpoolToolArgumentsTest, BadArgumentsExitWithStatusTwo) {
  TempDir dir;
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{}, "missing spool directory"},
      {{"--frobnicate", dir.Path().string()}, "unknown option '--frobnicate'"},
      {{dir.Path().string(), dir.Path().string()}, "more than one"},
      {{dir.Path().string() + "/missing/"}, "cannot open directory"},
      {{dir.Path().string() + "/missing/ev"}, "cannot open directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const RunResult run = RunTool(c.args);
    EXPECT_EQ(run.status, 2);
    EXPECT_THAT(run.err, AllOf(StartsWith("drvtirval-spool: "), HasSubstr(c.message)));
    EXPECT_EQ(run.out, "");
  }
}

TEST(SpoolToolArgumentsTest, AnswersHelpAndVersion) {
  RunResult run = RunTool({"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(run.out, AllOf(StartsWith("Usage: drvtirval-spool"), HasSubstr("--verify")));
  run = RunTool({"--version"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, std::string("drvtirval-spool ") + DRV_VERSION_TEXT + "\n");
}

}  // namespace
}  // namespace drv
