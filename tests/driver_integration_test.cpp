// The real drvtirval2000n program, headless, with a pseudo-terminal as its station line and the
// bundled message-server simulator as its server.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/cp1251.h"
#include "delivery/event_record.h"
#include "fakes/temp_dir.h"
#include "support/child_process_posix.h"
#include "support/pty_pair_posix.h"

namespace drv {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::ExitedWith;
using testing::PtyPair;
using testing::TempDir;

constexpr auto kSafety = 15s;  // a bound for a hung program, never a measurement

std::string Bin(const std::string& name) {
  return std::string(DRV_BIN_DIR) + "/" + name;
}

// A station frame for the decoded bytes: start byte, two nibble carriers per byte, end mark.
std::vector<uint8_t> StationFrame(const std::vector<uint8_t>& decoded) {
  std::vector<uint8_t> line{0x01};
  for (uint8_t b : decoded) {
    line.push_back(static_cast<uint8_t>((b & 0xF0) | 0x02));
    line.push_back(static_cast<uint8_t>(b << 4));
  }
  line.push_back(0x03);
  return line;
}

// The decoded bytes with a last byte that makes them sum to 0.
std::vector<uint8_t> WithChecksum(std::vector<uint8_t> bytes) {
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  bytes.push_back(static_cast<uint8_t>(-sum));
  return bytes;
}

// A report message for object `object` (before completion), code 1130, zone `zone`.
std::vector<uint8_t> ReportMessage(uint16_t object, uint8_t zone) {
  return WithChecksum({0xF2, 0x01, 0x00, 0x00, 0x00, static_cast<uint8_t>(object >> 8),
                       static_cast<uint8_t>(object), 0x00, 0x30, 0x00, 0x82, zone, 0x00});
}

std::vector<std::filesystem::path> FilesWithExtension(const std::filesystem::path& dir,
                                                      const std::string& extension) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() == extension) files.push_back(entry.path());
  }
  return files;
}

class DriverProgramTest : public ::testing::Test {
 protected:
  void WriteSettings(const std::string& extra) {
    const std::string text = "[main]\r\nComPort=COM1\r\nLog=1\r\n" + extra +
                             "\r\n[Devices]\r\nCOM1=" + pty_.SlavePath() + "\r\n";
    testing::WriteFileBytes(dir_.Path() / "drvtirval2000n.ini", Utf8ToCp1251(text));
  }

  // Starts the driver and waits until it holds its port, so that no frame meets a closed line.
  void StartDriver() {
    driver_ = std::make_unique<ChildProcess>(ChildProcess::Options{
        {Bin("drvtirval2000n")}, dir_.Path().string(), {"QT_QPA_PLATFORM=offscreen"}});
    ASSERT_TRUE(pty_.WaitUntilSlaveHeld(kSafety));
    // The open purges the line just after taking the lock; let it finish.
    std::this_thread::sleep_for(200ms);
  }

  std::optional<uint8_t> Exchange(const std::vector<uint8_t>& line) {
    pty_.Write(line);
    return pty_.ReadByte(kSafety);
  }

  void StopDriver() {
    driver_->Signal(SIGTERM);
    EXPECT_TRUE(ExitedWith(driver_->WaitForExit(kSafety), 0));
  }

  TempDir dir_;
  PtyPair pty_;
  std::unique_ptr<ChildProcess> driver_;
};

TEST_F(DriverProgramTest, AnswersEveryFrameAndLogsIt) {
  std::filesystem::create_directory(dir_.Path() / "log");
  WriteSettings("SendTorven8=0");
  StartDriver();

  struct Case {
    const char* what;
    std::vector<uint8_t> line;
    uint8_t reply;
  };
  const std::vector<Case> cases = {
      {"valid report", StationFrame(ReportMessage(1234, 5)), 0x05},
      {"no decoded byte", {0x01, 0x03}, 0x05},
      {"one decoded byte", {0x01, 0x52, 0x00, 0x03}, 0x05},
      {"bad checksum", StationFrame({0xF2, 0x01, 0x02}), 0x07},
      {"worked example with bad sum",
       {0x01, 0x12, 0x20, 0x02, 0x10, 0xD2, 0x20, 0x32, 0xC0, 0x92, 0x20,
        0xF2, 0x30, 0xB2, 0xD0, 0x42, 0xB0, 0x62, 0x70, 0xE2, 0xF0, 0xE2,
        0x00, 0x02, 0xD0, 0x12, 0x30, 0x22, 0x90, 0x32, 0xF0, 0x43},
       0x07},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Exchange(c.line), c.reply);
  }

  StopDriver();
  const auto logs = FilesWithExtension(dir_.Path() / "log", ".log");
  ASSERT_EQ(logs.size(), 1u);
  const std::string log = Cp1251ToUtf8(testing::ReadFileBytes(logs[0]));
  std::size_t lines = 0;
  for (std::size_t at = log.find("\r\n"); at != std::string::npos; at = log.find("\r\n", at + 2)) {
    ++lines;
  }
  EXPECT_EQ(lines, cases.size());
  EXPECT_NE(log.find("3F  Номер - 62397\r\n"), std::string::npos);
  EXPECT_TRUE(FilesWithExtension(dir_.Path(), ".dd8").size() == 1u)
      << "the one valid report becomes one spool file without a session";
}

TEST_F(DriverProgramTest, SurvivesLineNoiseAndBadSettings) {
  // Garbage lines, a huge value and bytes that are no text must not stop the program.
  const std::string junk =
      "\xFF\xFE garbage\r\n[main\r\n=\r\nFirstNumber=" + std::string(100000, '9') +
      "\r\n\x01\x02\x03\r\nAttention=25:00:00";
  WriteSettings("SendTorven8=0\r\n" + junk);
  StartDriver();
  ASSERT_EQ(Exchange(StationFrame(ReportMessage(1, 1))), 0x05);

  std::mt19937 random(20261210);
  std::vector<uint8_t> noise(10000);
  for (auto& b : noise) b = static_cast<uint8_t>(random());
  pty_.Write(noise);
  // Whatever the noise made the station's frames, the program is still there and answers a
  // clean frame once the replies to the noise have been drained.
  while (pty_.ReadByte(1s)) {
  }
  EXPECT_TRUE(driver_->Running());
  EXPECT_EQ(Exchange(StationFrame(ReportMessage(2, 2))), 0x05);
  StopDriver();
}

TEST_F(DriverProgramTest, DeliversRecordsToTheServerOnceItAcceptsTheDriver) {
  ChildProcess server({{Bin("drvtirval-server"), "--port", "0"}, dir_.Path().string(), {}});
  const auto listening = server.WaitForLine(
      [](const std::string& l) { return l.rfind("listening on", 0) == 0; }, kSafety);
  ASSERT_TRUE(listening.has_value());
  const std::string port = listening->substr(listening->rfind(':') + 1);
  WriteSettings("SendTorven8=1\r\nFirstNumber=4\r\n[ServerHost]\r\nAddress=127.0.0.1\r\nPort=" +
                port);
  StartDriver();

  ASSERT_TRUE(server.WaitForLine(
      [](const std::string& l) { return l.find("MsgVersion") != std::string::npos; }, kSafety));
  ASSERT_EQ(Exchange(StationFrame(ReportMessage(1234, 5))), 0x05);

  const auto event =
      server.WaitForLine([](const std::string& l) { return l.rfind("event", 0) == 0; }, kSafety);
  ASSERT_TRUE(event.has_value());
  EXPECT_NE(event->find("object=41234"), std::string::npos) << *event;
  EXPECT_NE(event->find("code=1130"), std::string::npos) << *event;
  EXPECT_NE(event->find("zone=5"), std::string::npos) << *event;
  // The record's bytes up to its time: 41234, code "1130", InfoE 1, Flags 0x30, zone 5.
  EXPECT_NE(event->find("bytes=12 A1 00 00 04 31 31 33 30 00 00 00 00 01 30 00 00 00 05 "),
            std::string::npos)
      << *event;
  // Its spool file goes with the server's acknowledgement.
  for (int i = 0; i < 100 && !FilesWithExtension(dir_.Path(), ".dd8").empty(); ++i) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(FilesWithExtension(dir_.Path(), ".dd8").empty());
  StopDriver();
}

TEST_F(DriverProgramTest, SpooledAlarmsReachTheServerAfterAnOutageAndARestart) {
  // Reserve a port for a server that is not there yet.
  int port = 0;
  {
    ChildProcess probe({{Bin("drvtirval-server"), "--port", "0"}, dir_.Path().string(), {}});
    const auto line = probe.WaitForLine(
        [](const std::string& l) { return l.rfind("listening on", 0) == 0; }, kSafety);
    ASSERT_TRUE(line.has_value());
    port = std::stoi(line->substr(line->rfind(':') + 1));
  }
  std::filesystem::create_directory(dir_.Path() / "spool");
  WriteSettings(
      "SendTorven8=1\r\nPathForSoob=spool/\r\n[ServerHost]\r\nAddress=127.0.0.1\r\nPort=" +
      std::to_string(port));

  constexpr int kAlarms = 50;
  StartDriver();
  for (int i = 0; i < kAlarms; ++i) {
    if (i == kAlarms / 2) {
      StopDriver();  // the restart between the two halves
      StartDriver();
    }
    ASSERT_EQ(Exchange(StationFrame(ReportMessage(static_cast<uint16_t>(100 + i), 1))), 0x05);
    // The station forgets the alarm with the 05: its file is there by then.
    ASSERT_EQ(FilesWithExtension(dir_.Path() / "spool", ".dd8").size(),
              static_cast<std::size_t>(i + 1));
  }
  const auto spooled = FilesWithExtension(dir_.Path() / "spool", ".dd8");
  for (const auto& file : spooled) EXPECT_EQ(std::filesystem::file_size(file), 31u);

  ChildProcess server(
      {{Bin("drvtirval-server"), "--port", std::to_string(port)}, dir_.Path().string(), {}});
  std::vector<int> objects;
  const auto deadline = std::chrono::steady_clock::now() + 120s;
  while ((objects.empty() || objects.back() != 40000 + 100 + kAlarms - 1) &&
         std::chrono::steady_clock::now() < deadline) {
    const auto line =
        server.WaitForLine([](const std::string& l) { return l.rfind("event", 0) == 0; }, 30s);
    if (!line) break;
    const auto at = line->find("object=");
    if (at != std::string::npos) objects.push_back(std::stoi(line->substr(at + 7)));
  }
  // In the order of the alarms, across the restart; a record sent again follows its first copy.
  objects.erase(std::unique(objects.begin(), objects.end()), objects.end());
  std::vector<int> expected(kAlarms);
  for (int i = 0; i < kAlarms; ++i) expected[i] = 40000 + 100 + i;
  EXPECT_EQ(objects, expected);

  // The last acknowledgement deletes the last file.
  for (int i = 0; i < 50 && !FilesWithExtension(dir_.Path() / "spool", ".dd8").empty(); ++i) {
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(FilesWithExtension(dir_.Path() / "spool", ".dd8").empty());
  StopDriver();
}

}  // namespace
}  // namespace drv
