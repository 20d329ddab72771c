#include <sys/wait.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/cp1251.h"
#include "base/hex_text.h"
#include "delivery/event_record.h"
#include "receiver/frame_decoder.h"
#include "receiver/frame_log.h"
#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr TDateTime kNow = 45322.5;  // 2024-01-31 12:00
constexpr const char* kNowText = "45322.5";

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs the built program with `input` on standard input.
RunResult RunDecode(const std::vector<std::string>& args, const std::string& input = "") {
  testing::TempDir dir;
  testing::WriteFileBytes(dir.Path() / "in", input);
  std::string command = Quoted(std::string(DRV_BIN_DIR) + "/drvtirval-decode");
  for (const std::string& arg : args) command += " " + Quoted(arg);
  command += " <" + Quoted(dir.File("in")) + " >" + Quoted(dir.File("out")) + " 2>" +
             Quoted(dir.File("err"));
  const int raw = std::system(command.c_str());
  RunResult result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.out = testing::ReadFileBytes(dir.Path() / "out");
  result.err = testing::ReadFileBytes(dir.Path() / "err");
  return result;
}

// Spaced hex of the line bytes of a well-formed frame carrying `decoded`.
std::string LineFrameHex(const Bytes& decoded) {
  Bytes line{kFrameStartByte};
  for (const uint8_t b : decoded) {
    line.push_back(static_cast<uint8_t>((b & 0xF0) | 0x02));
    line.push_back(static_cast<uint8_t>(b << 4));
  }
  line.push_back(0x03);
  return SpacedHex(line);
}

std::string RecordLine(const EventRecord& record) {
  return "record " + CompactHex(SerializeEventRecord(record)) + " " + DescribeEventRecord(record) +
         "\n";
}

const Bytes kReport = {0xF2, 0x01, 0x00, 0x10, 0x00, 0x04, 0xD2,
                       0x00, 0x30, 0x00, 0x82, 0x05, 0x01, 0x6F};
const Bytes kBlock = {0x45, 0x23, 0x01, 0x2C, 0x10, 0x64, 0x82, 0x01, 0x81, 0x00, 0xF3};

// The records the two worked examples give with FirstNumber 4, as the station frames them.
std::string ExpectedReportRecord() {
  EventRecord r;
  r.ObjectNumber = 51234;
  r.SetEventCode("1130");
  r.InfoE = 1;
  r.Flags = 0x30;
  r.Partition = 1;
  r.Zone = 5;
  r.EventTime = kNow;
  return RecordLine(r);
}

std::string ExpectedBlockRecords() {
  EventRecord r;
  r.ObjectNumber = 50301;
  r.SetEventCode("1130");
  r.SetEventCode("64");  // the stale "30" stays behind the two characters
  r.InfoC = 3;
  r.Flags = 10;
  r.Extra1 = 0x01;
  r.Extra2 = 0x81;
  r.Partition = 1;
  r.EventTime = kNow;
  std::string lines;
  for (const uint8_t zone : {9, 1, 8}) {
    r.Zone = zone;
    lines += RecordLine(r);
  }
  return lines;
}

TEST(DecodeToolTest, WorkedExamplesFromStandardInput) {
  const std::string block = LineFrameHex(kBlock);
  const std::string input =
      "# the station's worked examples\n"
      "01 12 20 02 10 D2 20 32 C0 92 20 F2 30 B2 D0 42 B0 62 70 E2 F0 E2 00 02 D0 12 30 22 90 "
      "32 F0 43\n"
      "\n"
      "01f220021002001200020002 40d2200200320002008220025002 1062f003\r\n" +
      block.substr(0, 20) + "\n" +  // split over two packets: answered after the second
      "   " + block.substr(20) + "\n";

  const RunResult run = RunDecode({"--now", kNowText}, input);

  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(run.err, IsEmpty());
  // A frame's records are stored before its reply goes out.
  EXPECT_EQ(run.out, "reply 07\n" + ExpectedReportRecord() + "reply 05\n" + ExpectedBlockRecords() +
                         "reply 05\n");
}

TEST(DecodeToolTest, BadLinesAreNamedAndSkipped) {
  testing::TempDir dir;
  testing::WriteFileBytes(dir.Path() / "packets.txt",
                          "01 2\n"  // odd digit count
                          "# fine\n" +
                              LineFrameHex(kReport) + "\n" + "01 F2 zz 03\n");  // not hex
  const RunResult run = RunDecode({"--now", kNowText, dir.File("packets.txt")});

  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("line 1: odd number of hex digits"));
  EXPECT_THAT(run.err, HasSubstr("line 4: not a hex digit"));
  EXPECT_THAT(run.err, ::testing::Not(HasSubstr("line 3")));
  EXPECT_EQ(run.out, ExpectedReportRecord() + "reply 05\n");
}

TEST(DecodeToolTest, ReplaysFrameLogLines) {
  const std::string log =
      Utf8ToCp1251(FrameLogLine(kNow, kReport) + FrameLogLine(kNow, kBlock) +
                   FrameLogLine(kNow, Bytes{0xF2, 0x0F}) + FrameLogLine(kNow, Bytes{})) +
      "not a log line\r\n";

  const RunResult run = RunDecode({"--log", "--now", kNowText}, log);

  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("line 5: not a frame log line"));
  EXPECT_EQ(run.out, ExpectedReportRecord() + "reply 05\n" + ExpectedBlockRecords() +
                         "reply 05\nreply 07\nreply 05\n");
}

TEST(DecodeToolTest, Options) {
  testing::TempDir dir;
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;  // expected part of standard output
    std::string err;  // expected part of standard error
  };
  const Case cases[] = {
      {{"--help"}, 0, "Usage: drvtirval-decode", ""},
      {{"--version"}, 0, DRV_VERSION_TEXT, ""},
      {{"--first-number", "0", "--now", kNowText}, 0, "object=11234 ", ""},
      {{"--first-number=7", "--now", kNowText}, 0, "object=81234 ", ""},
      {{"--bogus"}, 2, "", "unknown option '--bogus'"},
      {{"--first-number", "x"},
       2,
       "",
       "--first-number takes a number from -2147483648 to 2147483647, not 'x'"},
      {{"--first-number"}, 2, "", "--first-number needs a value"},
      {{"--now", "tomorrow"}, 2, "", "--now takes a TDateTime number, not 'tomorrow'"},
      {{"--now", "inf"}, 2, "", "--now takes a TDateTime number, not 'inf'"},
      {{dir.File("missing.txt")}, 2, "", "cannot open"},
      {{"a.txt", "b.txt"}, 2, "", "more than one input file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    // The worked report message; a record shows that the options took effect.
    const RunResult run = RunDecode(c.args, LineFrameHex(kReport) + "\n");
    EXPECT_EQ(run.status, c.status);
    EXPECT_THAT(run.out, HasSubstr(c.out));
    EXPECT_THAT(run.err, HasSubstr(c.err));
    if (c.status == 2) {
      EXPECT_THAT(run.out, IsEmpty());
    }
  }
}

}  // namespace
}  // namespace drv
