#include "app/driver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/cp1251.h"
#include "base/paths.h"
#include "delivery/event_record.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_connection.h"
#include "fakes/fake_operator_window.h"
#include "fakes/fake_serial_device.h"
#include "fakes/fake_serial_event_loop.h"
#include "fakes/manual_main_thread.h"
#include "fakes/temp_dir.h"

namespace drv {
namespace {

using testing::FakeClock;
using testing::FakeConnectionFactory;
using testing::FakeOperatorWindow;
using testing::FakeSerialDevice;
using testing::FakeSerialEventLoop;
using testing::ManualMainThread;
using testing::TempDir;

// The report message of the station's documentation: object 1234, code 1130, zone 5, partition 1.
const std::vector<uint8_t> kReportPacket = {
    0x01, 0xF2, 0x20, 0x02, 0x10, 0x02, 0x00, 0x12, 0x00, 0x02, 0x00, 0x02, 0x40, 0xD2, 0x20,
    0x02, 0x00, 0x32, 0x00, 0x02, 0x00, 0x82, 0x20, 0x02, 0x50, 0x02, 0x10, 0x62, 0xF0, 0x03};

std::vector<std::filesystem::path> SpoolFiles(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() == ".dd8") files.push_back(entry.path());
  }
  return files;
}

class DriverTest : public ::testing::Test {
 protected:
  ~DriverTest() override {
    mainThread_.Stop();
    if (driver_) driver_->Shutdown();
  }

  void WriteSettings(const std::string& text) {
    // Settings files are Windows-1251 text.
    testing::WriteFileBytes(dir_.Path() / "drvtirval2000n.ini", Utf8ToCp1251(text));
  }

  Driver& StartDriver() {
    platform_ = std::make_unique<DriverPlatform>(DriverPlatform{clock_, mainThread_, serialEvents_,
                                                                device_, connections_,
                                                                dir_.Path().string(), "1.0.0.1"});
    driver_ = std::make_unique<Driver>(*platform_, window_);
    driver_->StartUp();
    return *driver_;
  }

  // Feeds the bytes to the line and turns the loop until the frame has been handed over.
  void ReceiveOnLine(const std::vector<uint8_t>& bytes) {
    device_.Receive(bytes);
    serialEvents_.Turn();
    serialEvents_.Advance(50);
  }

  TempDir dir_;
  FakeClock clock_;
  ManualMainThread mainThread_;
  FakeSerialDevice device_;
  FakeSerialEventLoop serialEvents_{clock_, [this] { return device_.Readable(); }};
  FakeConnectionFactory connections_;
  FakeOperatorWindow window_;
  std::unique_ptr<DriverPlatform> platform_;
  std::unique_ptr<Driver> driver_;
};

struct StartUpCase {
  const char* name;
  std::string settings;
  SerialError openResult;
  bool expectOpenAttempt;
  std::string expectedCaption;
  std::vector<std::string> expectedMessages;
};

class DriverStartUpTest : public DriverTest, public ::testing::WithParamInterface<StartUpCase> {};

TEST_P(DriverStartUpTest, OpensTheConfiguredPortOrReportsIt) {
  const StartUpCase& c = GetParam();
  WriteSettings(c.settings);
  device_.openResult = c.openResult;
  StartDriver();

  bool openAttempted = false;
  for (const auto& call : device_.calls) openAttempted |= call.rfind("Open ", 0) == 0;
  EXPECT_EQ(openAttempted, c.expectOpenAttempt);
  EXPECT_EQ(window_.caption, c.expectedCaption);
  EXPECT_EQ(window_.messages, c.expectedMessages);
  EXPECT_EQ(window_.closeCode.size(), 5u);
  EXPECT_FALSE(window_.startTime.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DriverStartUpTest,
    ::testing::Values(StartUpCase{"NoSettingsFile", "", SerialError::kNone, false, "Запустить", {}},
                      StartUpCase{"NoPortChosen",
                                  "[main]\nComPort=COM255\nSendTorven8=0\n",
                                  SerialError::kNone,
                                  false,
                                  "Запустить",
                                  {}},
                      StartUpCase{"PortOpens",
                                  "[main]\nComPort=COM3\nSendTorven8=0\n",
                                  SerialError::kNone,
                                  true,
                                  "Остановить",
                                  {}},
                      StartUpCase{"PortBusy",
                                  "[main]\nComPort=COM3\nSendTorven8=0\n",
                                  SerialError::kBusy,
                                  true,
                                  "Запустить",
                                  {"Порт уже занят. Смените его."}}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(DriverTest, StartTimeShowsTheTimeAlsoAtMidnight) {
  WriteSettings("[main]\nSendTorven8=0\n");
  const TDateTime midnight = EncodeDateTime({2024, 1, 31, 0, 0, 0, 0});
  clock_.SetNow(midnight);
  StartDriver();
  EXPECT_EQ(window_.startTime, FormatDateTime(midnight));
  EXPECT_NE(window_.startTime, FormatDateTimeOmittingMidnight(midnight));
}

TEST_F(DriverTest, AppliesCaptionAndSecondServerRow) {
  WriteSettings("[main]\ncaption=Пост 2\nSendTorven7=1\nSendTorven8=0\n");
  StartDriver();
  EXPECT_EQ(window_.banner, "Пост 2");
  EXPECT_TRUE(window_.secondServerRow);
}

TEST_F(DriverTest, ReportFrameIsAnsweredAndSpooledWithoutSession) {
  WriteSettings("[main]\nComPort=COM1\nFirstNumber=4\nSendTorven8=0\n");
  StartDriver();
  ASSERT_TRUE(serialEvents_.watching);

  const TDateTime before = clock_.Now();
  ReceiveOnLine(kReportPacket);

  EXPECT_EQ(device_.written, std::vector<uint8_t>{0x05});
  const auto files = SpoolFiles(dir_.Path());
  ASSERT_EQ(files.size(), 1u);
  const std::string bytes = testing::ReadFileBytes(files[0]);
  ASSERT_EQ(bytes.size(), 31u);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x42\x00\x00\x03", 4));
  const auto record = ParseEventRecord(
      std::span(reinterpret_cast<const uint8_t*>(bytes.data()) + 4, bytes.size() - 4));
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->ObjectNumber, 51234);
  EXPECT_EQ(record->EventCode(), "1130");
  EXPECT_EQ(record->Zone, 5);
  EXPECT_GE(record->EventTime, before);
  EXPECT_LE(record->EventTime, clock_.Now());
}

TEST_F(DriverTest, FrameLinesAppearOnlyWhileTheCheckBoxIsTicked) {
  WriteSettings("[main]\nComPort=COM1\nSendTorven8=0\n");
  StartDriver();
  ReceiveOnLine(kReportPacket);
  EXPECT_TRUE(window_.lines.empty());

  window_.frameDisplay = true;
  ReceiveOnLine(kReportPacket);
  ASSERT_EQ(window_.lines.size(), 1u);
  EXPECT_EQ(window_.lines.back(), "F20100100004D20030008205016F");
}

TEST_F(DriverTest, StationIndicatorTurnsGreenAtFirstTickAndRedAfterSilence) {
  WriteSettings("[main]\nAttention=00:00:02\nSendTorven8=0\n");
  StartDriver();
  EXPECT_TRUE(window_.stationDrawings.empty());

  driver_->OnTick();
  EXPECT_EQ(window_.stationDrawings, std::vector<bool>{true});
  EXPECT_TRUE(driver_->StationLinkUp());

  for (int tick = 0; tick < 15; ++tick) {
    clock_.Advance(200);
    driver_->OnTick();
  }
  EXPECT_EQ(window_.stationDrawings, (std::vector<bool>{true, false}));
}

// A station port whose RTS cannot be keyed still opens; the error log says so once per run, for
// all the opens of a port scan and of later starts.
TEST_F(DriverTest, UnkeyableRtsIsLoggedOnceAndThePortStillOpens) {
  WriteSettings("[main]\nComPort=COM1\nSendTorven8=0\n");
  device_.togglesRtsItself = false;
  device_.rtsResult = SerialError::kNotSupported;
  StartDriver();
  ASSERT_TRUE(device_.open);
  window_.closeCodeAnswer = CloseCodeAnswer::kAccepted;
  driver_->StartOrStop();  // stop
  driver_->RescanPorts();  // the scan opens every port
  driver_->StartOrStop();  // start
  ASSERT_TRUE(device_.open);
  ReceiveOnLine(kReportPacket);
  EXPECT_EQ(device_.written, std::vector<uint8_t>{0x05});
  EXPECT_EQ(Cp1251ToUtf8(testing::ReadFileBytes(dir_.Path() / "error.txt")), "ошибка №14\r\n");
}

struct CloseCase {
  CloseCodeAnswer answer;
  bool expectClose;
  bool expectPortOpen;
  std::vector<std::string> expectedMessages;
};

class DriverCloseTest : public DriverTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(DriverCloseTest, ClosesOnlyWithTheRightCode) {
  const CloseCase& c = GetParam();
  WriteSettings("[main]\nComPort=COM2\nSendTorven8=0\n");
  const std::string settingsBefore = testing::ReadFileBytes(dir_.Path() / "drvtirval2000n.ini");
  StartDriver();
  window_.closeCodeAnswer = c.answer;

  EXPECT_EQ(driver_->RequestClose(), c.expectClose);
  EXPECT_EQ(device_.open, c.expectPortOpen);
  EXPECT_EQ(window_.messages, c.expectedMessages);
  EXPECT_EQ(testing::ReadFileBytes(dir_.Path() / "drvtirval2000n.ini"), settingsBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, DriverCloseTest,
    ::testing::Values(CloseCase{CloseCodeAnswer::kAccepted, true, false, {}},
                      CloseCase{
                          CloseCodeAnswer::kWrongCode, false, true, {"Не правильный пароль."}},
                      CloseCase{CloseCodeAnswer::kCancelled, false, true, {}}));

// A close that arrives while start-up shows the busy port ends the program there: no session is
// started, so nothing reaches the server on the way out.
TEST_F(DriverTest, CloseDuringTheStartUpMessageStartsNoSession) {
  WriteSettings("[main]\nComPort=COM3\n[ServerHost]\nAddress=127.0.0.1\nPort=1\n");
  device_.openResult = SerialError::kBusy;
  clock_.SetTick(10000000);
  window_.closeDuringMessageBox = true;
  StartDriver();

  EXPECT_EQ(window_.messages, std::vector<std::string>{"Порт уже занят. Смените его."});
  // The server indicator is drawn once when the session starts.
  EXPECT_TRUE(window_.serverDrawings.empty());
  EXPECT_TRUE(window_.startTime.empty());

  mainThread_.Stop();
  driver_->Shutdown();
  EXPECT_EQ(connections_.Count(), 0u);
  EXPECT_TRUE(window_.lines.empty());
}

TEST_F(DriverTest, SessionReportsThroughTheMainThreadAndStopsAtShutdown) {
  WriteSettings("[main]\nComPort=COM255\n[ServerHost]\nAddress=127.0.0.1\nPort=1\n");
  connections_.connectSucceeds = false;
  clock_.SetTick(10000000);
  const TDateTime midnight = EncodeDateTime({2024, 1, 31, 0, 0, 0, 0});
  clock_.SetNow(midnight);
  StartDriver();
  ASSERT_FALSE(window_.serverDrawings.empty());
  EXPECT_EQ(window_.serverDrawings.front(), std::make_pair(false, 0));

  // The session's first attempt shows its line through the main thread.
  for (int i = 0; i < 50 && window_.lines.empty(); ++i) {
    if (mainThread_.WaitForTask(std::chrono::milliseconds(200))) mainThread_.RunPending();
  }
  ASSERT_FALSE(window_.lines.empty());
  // Date, blank and time, also at midnight.
  EXPECT_EQ(window_.lines.front(), FormatDateTime(midnight) + " Соединение...");

  // A session waiting on the main thread must not block the shutdown; a hang fails the run.
  mainThread_.Stop();
  driver_->Shutdown();
  EXPECT_FALSE(device_.open);
}

// The health file as the driver keeps it: its name from the settings, written at the first tick,
// every interval and once more at the end; frames, records, states and logged errors in it.
TEST_F(DriverTest, HealthFileShowsWhatTheDriverDid) {
  std::filesystem::create_directory(dir_.Path() / "health");
  WriteSettings("[main]\nComPort=COM1\nSendTorven8=0\n[Health]\nFile=health/d.prom\nInterval=2\n");
  device_.togglesRtsItself = false;
  device_.rtsResult = SerialError::kNotSupported;  // error 14 in the log
  StartDriver();
  // A relative name counts from the working directory.
  EXPECT_EQ(driver_->HealthFilePath(), JoinPath(dir_.Path().string(), "health/d.prom"));
  const std::string label = "{driver=\"" + dir_.Path().filename().string() + "\"";
  const auto file = [this] { return testing::ReadFileBytes(dir_.Path() / "health" / "d.prom"); };
  ASSERT_FALSE(std::filesystem::exists(dir_.Path() / "health" / "d.prom"));

  driver_->OnTick();
  EXPECT_NE(file().find("drvtirval_station_port_open" + label + "} 1\n"), std::string::npos);
  EXPECT_NE(file().find("drvtirval_frames_total" + label + ",reply=\"05\"} 0\n"),
            std::string::npos);
  EXPECT_NE(file().find("drvtirval_errors_total" + label + ",code=\"14\"} 1\n"), std::string::npos);

  ReceiveOnLine(kReportPacket);
  const int64_t frameMs = clock_.UnixTimeMs();
  driver_->OnTick();
  EXPECT_NE(file().find("reply=\"05\"} 0\n"), std::string::npos) << "not yet due";
  clock_.Advance(2000);
  driver_->OnTick();
  EXPECT_NE(file().find("drvtirval_frames_total" + label + ",reply=\"05\"} 1\n"),
            std::string::npos);
  EXPECT_NE(file().find("drvtirval_records_stored_total" + label + "} 1\n"), std::string::npos);
  EXPECT_NE(file().find("drvtirval_spool_records_waiting" + label + "} 0\n"), std::string::npos)
      << "without a session nothing waits for a server";
  EXPECT_NE(file().find("drvtirval_last_frame_timestamp_seconds" + label + "} " +
                        std::to_string(frameMs / 1000)),
            std::string::npos);

  driver_->Shutdown();
  EXPECT_NE(file().find("drvtirval_station_port_open" + label + "} 0\n"), std::string::npos);
}

TEST_F(DriverTest, HealthFileNameAndLabelComeFromTheSettings) {
  WriteSettings("[main]\nComPort=COM1\nSendTorven8=0\n[Health]\nName=Пост 3\n");
  StartDriver();
  EXPECT_EQ(driver_->HealthFilePath(), "") << "no file without File";
  EXPECT_EQ(driver_->Health().driverName, "Пост 3");
  EXPECT_EQ(driver_->Health().version, "1.0.0.1");
  EXPECT_EQ(driver_->Health().startUnixMs, clock_.UnixTimeMs());
  EXPECT_TRUE(driver_->Health().links.portOpen);
  driver_->OnTick();
  // Nothing but the settings file and the spool's lock in the directory.
  for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
    EXPECT_NE(entry.path().extension(), ".prom");
  }
}

// A file that cannot be written is one line in the error log, not one per tick.
TEST_F(DriverTest, AnUnwritableHealthFileIsLoggedOnce) {
  WriteSettings("[main]\nComPort=COM1\nSendTorven8=0\n[Health]\nFile=missing/d.prom\nInterval=1\n");
  StartDriver();
  for (int tick = 0; tick < 30; ++tick) {
    clock_.Advance(200);
    driver_->OnTick();
  }
  EXPECT_EQ(Cp1251ToUtf8(testing::ReadFileBytes(dir_.Path() / "error.txt")), "ошибка №20\r\n");
  EXPECT_EQ(driver_->Health().errorsByCode, (std::map<int, uint64_t>{{20, 1}}));
}

}  // namespace
}  // namespace drv
