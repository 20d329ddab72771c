#include "ui/service_run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/driver_settings.h"
#include "base/cp1251.h"
#include "base/error_log.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_connection.h"
#include "fakes/fake_serial_device.h"
#include "fakes/fake_serial_event_loop.h"
#include "fakes/fake_service_notifier.h"
#include "fakes/manual_main_thread.h"
#include "fakes/temp_dir.h"

namespace drv {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// The run without a window on fakes: the 200 ms tick is turned by the test.
class ServiceRunTest : public ::testing::Test {
 protected:
  void WriteSettings(const std::string& text) {
    testing::WriteFileBytes(SettingsPath(dir.Path().string()), Utf8ToCp1251(text));
  }

  bool Start() { return run.Start(platform); }

  // Ticks every 200 ms for `ms`, as long as the tick runs; the serial port's loop turns every
  // millisecond in between.
  void RunFor(uint32_t ms) {
    for (uint32_t elapsed = 0; elapsed < ms; elapsed += 200) {
      serialEvents.Advance(200);
      if (tickRunning) run.OnTick();
    }
  }

  int OpenCalls() const {
    int count = 0;
    for (const auto& call : serial.calls) count += call.rfind("Open ", 0) == 0 ? 1 : 0;
    return count;
  }

  int LinesWith(const std::string& text) const {
    int count = 0;
    for (const auto& line : lines) count += line.find(text) != std::string::npos ? 1 : 0;
    return count;
  }

  std::string ErrorLog() const {
    return Cp1251ToUtf8(testing::ReadFileBytes(ErrorLogPath(dir.Path().string())));
  }

  testing::TempDir dir;
  testing::FakeClock clock;
  testing::InlineMainThread mainThread;
  testing::FakeSerialDevice serial;
  testing::FakeSerialEventLoop serialEvents{clock, [this] { return serial.Readable(); }};
  testing::FakeConnectionFactory connections;
  DriverPlatform platform{clock,       mainThread,          serialEvents, serial,
                          connections, dir.Path().string(), "1.0.0.1"};
  testing::FakeServiceNotifier notifier;
  bool tickRunning = false;
  std::vector<std::string> lines;
  ServiceRun run{clock,
                 notifier,
                 {[this](bool on) { tickRunning = on; },
                  [this](const std::string& line) { lines.push_back(line); }}};
};

TEST_F(ServiceRunTest, AnOpenPortMakesTheDriverReadyAtOnce) {
  WriteSettings("[main]\nComPort=COM3\nSendTorven8=0\n");
  ASSERT_TRUE(Start());
  EXPECT_TRUE(tickRunning);
  EXPECT_TRUE(serial.IsOpen());
  EXPECT_TRUE(run.Ready());
  ASSERT_GE(notifier.messages.size(), 2u);
  EXPECT_EQ(notifier.messages[0], "READY=1");
  EXPECT_THAT(notifier.messages[1], HasSubstr("port COM3 open"));
  EXPECT_THAT(notifier.messages[1], HasSubstr("no message server session"));
  EXPECT_THAT(lines, Contains(HasSubstr("drvtirval2000n 1.0.0.1 starts in ")));
}

// Nobody is there to pick another port: the configured one is tried every few seconds, and the
// driver is ready only once it opens.
TEST_F(ServiceRunTest, ABusyPortIsTriedAgainUntilItOpens) {
  WriteSettings("[main]\nComPort=COM3\nSendTorven8=0\n");
  serial.openResult = SerialError::kBusy;
  ASSERT_TRUE(Start());
  EXPECT_FALSE(run.Ready());
  EXPECT_EQ(notifier.Count("READY=1"), 0);
  EXPECT_THAT(lines, Contains(HasSubstr("Порт уже занят. Смените его.")));
  EXPECT_EQ(ErrorLog(), "Порт уже занят. Смените его.\r\n");
  EXPECT_EQ(OpenCalls(), 1);

  RunFor(ServiceRun::kPortRetryMs - 200);
  EXPECT_EQ(OpenCalls(), 1);
  RunFor(200);
  EXPECT_EQ(OpenCalls(), 2);
  RunFor(ServiceRun::kPortRetryMs);
  EXPECT_EQ(OpenCalls(), 3);
  EXPECT_FALSE(run.Ready());
  // The error log said it once; the retries are quiet.
  EXPECT_EQ(ErrorLog(), "Порт уже занят. Смените его.\r\n");

  serial.openResult = SerialError::kNone;
  RunFor(ServiceRun::kPortRetryMs);
  EXPECT_TRUE(serial.IsOpen());
  EXPECT_TRUE(run.Ready());
  EXPECT_EQ(notifier.Count("READY=1"), 1);
  EXPECT_THAT(lines, Contains(HasSubstr("port COM3 open")));
  EXPECT_THAT(notifier.messages.back(), HasSubstr("port COM3 open"));

  // Open, the port is left alone.
  RunFor(3 * ServiceRun::kPortRetryMs);
  EXPECT_EQ(OpenCalls(), 4);
  EXPECT_EQ(notifier.Count("READY=1"), 1);
}

// A line that hangs up (the station's end closed, the adapter pulled out) leaves the port open
// and deaf: once its reads have failed for the bound it is closed and tried again every few
// seconds until the device is back.
TEST_F(ServiceRunTest, AHungUpPortIsClosedAfterTheBoundAndReopenedOnceTheDeviceIsBack) {
  WriteSettings("[main]\nComPort=COM3\nSendTorven8=0\n");
  ASSERT_TRUE(Start());
  ASSERT_TRUE(run.Ready());
  RunFor(1000);
  const std::string failedLine = "port COM3 failed; it is reopened every 5 s";

  for (int episode = 1; episode <= 2; ++episode) {
    SCOPED_TRACE(episode);
    const int opensBefore = OpenCalls();
    serial.hungUp = true;
    serial.openResult = SerialError::kNoSuchDevice;
    serialEvents.Turn();  // the hang-up is seen now

    RunFor(ServiceRun::kFailedPortMs - 200);
    EXPECT_TRUE(serial.IsOpen()) << "not before the bound";
    EXPECT_EQ(LinesWith(failedLine), episode - 1);
    RunFor(200);
    EXPECT_FALSE(serial.IsOpen());
    EXPECT_EQ(LinesWith(failedLine), episode);
    EXPECT_FALSE(run.DriverLogic()->Health().links.portOpen);
    EXPECT_THAT(notifier.messages.back(), HasSubstr("port COM3 not open, tried again every 5 s"));
    EXPECT_EQ(OpenCalls(), opensBefore + 1) << "tried once at once";

    RunFor(ServiceRun::kPortRetryMs - 200);
    EXPECT_EQ(OpenCalls(), opensBefore + 1);
    RunFor(200);
    EXPECT_EQ(OpenCalls(), opensBefore + 2);
    RunFor(2 * ServiceRun::kPortRetryMs);
    EXPECT_EQ(OpenCalls(), opensBefore + 4);
    EXPECT_FALSE(run.DriverLogic()->Health().links.portOpen);
    EXPECT_EQ(LinesWith(failedLine), episode) << "the retries are quiet";

    serial.hungUp = false;
    serial.openResult = SerialError::kNone;
    RunFor(ServiceRun::kPortRetryMs);
    EXPECT_TRUE(serial.IsOpen());
    EXPECT_TRUE(run.DriverLogic()->Health().links.portOpen);
    EXPECT_EQ(LinesWith("port COM3 open"), episode);
    EXPECT_THAT(notifier.messages.back(), HasSubstr("port COM3 open"));
    EXPECT_TRUE(serialEvents.watching) << "the reopened port reads its line";
  }
  EXPECT_EQ(notifier.Count("READY=1"), 1);
  EXPECT_EQ(ErrorLog(), "") << "nothing for the error log";
}

// A device plugged back within the bound is taken up at once when the port closes.
TEST_F(ServiceRunTest, ADeviceThatIsBackAlreadyIsReopenedAtOnce) {
  WriteSettings("[main]\nComPort=COM3\nSendTorven8=0\n");
  ASSERT_TRUE(Start());
  serial.hungUp = true;
  serialEvents.Turn();
  RunFor(ServiceRun::kFailedPortMs);
  ASSERT_THAT(lines, Contains(HasSubstr("port COM3 failed")));
  EXPECT_TRUE(serial.IsOpen()) << "reopened in the same tick";
  EXPECT_EQ(OpenCalls(), 2);
  EXPECT_EQ(LinesWith("port COM3 open"), 1);
}

// Reads that fail for a while and then work again do not close the port.
TEST_F(ServiceRunTest, ReadsThatRecoverWithinTheBoundLeaveThePortOpen) {
  WriteSettings("[main]\nComPort=COM3\nSendTorven8=0\n");
  ASSERT_TRUE(Start());
  serial.hungUp = true;
  serialEvents.Turn();
  RunFor(ServiceRun::kFailedPortMs - 200);
  serial.hungUp = false;
  serial.Receive({0x01});
  RunFor(3 * ServiceRun::kFailedPortMs);
  EXPECT_TRUE(serial.IsOpen());
  EXPECT_EQ(OpenCalls(), 1);
  EXPECT_EQ(LinesWith("failed"), 0);
}

// The front ends hand the platform over as a temporary: the driver keeps its own copy, and
// what happens to the caller's afterwards does not reach it.
TEST_F(ServiceRunTest, TheDriverKeepsThePlatformItWasStartedWith) {
  WriteSettings("[main]\nComPort=COM3\nSendTorven8=0\n");
  DriverPlatform given = platform;
  given.versionText = "2.0.0.7";
  ASSERT_TRUE(run.Start(given));
  given.versionText = "9.9.9.9";
  given.workingDirectory = "/nonexistent";
  RunFor(200);
  EXPECT_EQ(run.DriverLogic()->Health().version, "2.0.0.7");
}

TEST_F(ServiceRunTest, WithoutAPortTheProgramEndsAsMisconfigured) {
  const char* const settings[] = {"", "[main]\nComPort=COM255\n"};
  for (const char* text : settings) {
    SCOPED_TRACE(text);
    testing::TempDir otherDir;
    platform.workingDirectory = otherDir.Path().string();
    testing::WriteFileBytes(SettingsPath(platform.workingDirectory), text);
    lines.clear();
    ServiceRun misconfigured(
        clock, notifier, {[](bool) {}, [this](const std::string& line) { lines.push_back(line); }});
    EXPECT_FALSE(misconfigured.Start(platform));
    EXPECT_EQ(misconfigured.ExitStatus(), ServiceRun::kConfigurationErrorStatus);
    EXPECT_TRUE(misconfigured.Ending());
    EXPECT_EQ(misconfigured.DriverLogic(), nullptr) << "nothing was started";
    EXPECT_THAT(lines, ElementsAre(HasSubstr(kNoPortChosenMessage)));
    EXPECT_EQ(Cp1251ToUtf8(testing::ReadFileBytes(ErrorLogPath(platform.workingDirectory))),
              std::string(kNoPortChosenMessage) + "\r\n");
  }
  EXPECT_THAT(notifier.messages, IsEmpty());
}

TEST_F(ServiceRunTest, TheWatchdogIsPingedTwicePerInterval) {
  WriteSettings("[main]\nComPort=COM3\nSendTorven8=0\n");
  notifier.watchdogIntervalUs = 2000000;
  ASSERT_TRUE(Start());
  RunFor(200);
  EXPECT_EQ(notifier.Count("WATCHDOG=1"), 1);
  RunFor(800);
  EXPECT_EQ(notifier.Count("WATCHDOG=1"), 1);
  RunFor(200);
  EXPECT_EQ(notifier.Count("WATCHDOG=1"), 2);
  RunFor(10000);
  EXPECT_EQ(notifier.Count("WATCHDOG=1"), 12);
}

TEST_F(ServiceRunTest, NoWatchdogNoPing) {
  WriteSettings("[main]\nComPort=COM3\nSendTorven8=0\n");
  ASSERT_TRUE(Start());
  RunFor(10000);
  EXPECT_EQ(notifier.Count("WATCHDOG=1"), 0);
}

// The status changes with the station link, and only a change is sent.
TEST_F(ServiceRunTest, TheStatusFollowsTheLinks) {
  WriteSettings("[main]\nComPort=COM3\nSendTorven8=0\nAttention=00:00:02\n");
  ASSERT_TRUE(Start());
  const auto statuses = [this] {
    std::vector<std::string> found;
    for (const auto& m : notifier.messages) {
      if (m.rfind("STATUS=", 0) == 0) found.push_back(m);
    }
    return found;
  };
  ASSERT_EQ(statuses().size(), 1u);
  EXPECT_THAT(statuses().back(), HasSubstr("station link down"));
  RunFor(200);
  ASSERT_EQ(statuses().size(), 2u);
  EXPECT_THAT(statuses().back(), HasSubstr("station link up"));
  RunFor(1000);
  EXPECT_EQ(statuses().size(), 2u);
  RunFor(2000);
  ASSERT_EQ(statuses().size(), 3u);
  EXPECT_THAT(statuses().back(), HasSubstr("station link down"));
  EXPECT_THAT(lines, Contains(HasSubstr(kStationLinkUpLine)));
  EXPECT_THAT(lines, Contains(HasSubstr(kStationLinkLostLine)));
}

TEST_F(ServiceRunTest, TheEndStopsTheTickClosesThePortAndTellsTheManagerOnce) {
  WriteSettings("[main]\nComPort=COM3\nSendTorven8=0\n");
  ASSERT_TRUE(Start());
  run.EndProgram();
  EXPECT_TRUE(run.Ending());
  const std::size_t before = notifier.messages.size();
  RunFor(1000);
  EXPECT_EQ(notifier.messages.size(), before) << "no tick work once ending";
  run.Shutdown();
  run.Shutdown();
  EXPECT_FALSE(tickRunning);
  EXPECT_FALSE(serial.IsOpen());
  EXPECT_EQ(notifier.Count("STOPPING=1"), 1);
  EXPECT_EQ(run.ExitStatus(), 0);
}

}  // namespace
}  // namespace drv
