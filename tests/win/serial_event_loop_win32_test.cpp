#include "ui/win32/serial_event_loop_win32.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "receiver/serial_device_win.h"
#include "receiver/serial_port_driver.h"
#include "receiver/station_line.h"
#include "tests/fakes/manual_main_thread.h"
#include "tests/win/com_port_pair.h"

namespace drv {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
constexpr auto kSafety = 10s;

class Win32SerialEventLoopTest : public ::testing::Test {
 protected:
  SystemClock clock;
  testing::ManualMainThreadQueue mainThread;
  std::optional<Win32SerialEventLoop> loop{std::in_place, clock, mainThread};
};

TEST_F(Win32SerialEventLoopTest, ATimerFiresOnceOnTheMainThreadAndNeverBeforeItsDelay) {
  struct Case {
    const char* name;
    uint64_t delayUs;
  };
  const Case cases[] = {
      {"10 ms", 10000}, {"10.001 ms", 10001}, {"half a millisecond", 500}, {"at the next turn", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint64_t> firedAt;
    bool onMainThread = false;
    const uint64_t start = clock.MicrosecondCount();
    loop->StartTimer(c.delayUs, [&] {
      firedAt.push_back(clock.MicrosecondCount());
      onMainThread = mainThread.OnMainThread();
    });
    EXPECT_TRUE(firedAt.empty()) << "not inside StartTimer";
    EXPECT_TRUE(loop->TimerActive());
    ASSERT_TRUE(mainThread.RunUntil([&] { return !firedAt.empty(); }, kSafety));
    EXPECT_GE(firedAt[0] - start, c.delayUs);
    EXPECT_TRUE(onMainThread);
    EXPECT_FALSE(loop->TimerActive());
    mainThread.RunFor(30ms);
    EXPECT_EQ(firedAt.size(), 1u);
  }
}

TEST_F(Win32SerialEventLoopTest, AStoppedOrReplacedTimerDoesNotFire) {
  int stopped = 0;
  loop->StartTimer(2000, [&] { ++stopped; });
  loop->StopTimer();
  EXPECT_FALSE(loop->TimerActive());

  int replaced = 0;
  int replacing = 0;
  loop->StartTimer(1000, [&] { ++replaced; });
  const uint64_t start = clock.MicrosecondCount();
  uint64_t firedAt = 0;
  loop->StartTimer(20000, [&] {
    ++replacing;
    firedAt = clock.MicrosecondCount();
  });
  ASSERT_TRUE(mainThread.RunUntil([&] { return replacing > 0; }, kSafety));
  mainThread.RunFor(30ms);
  EXPECT_EQ(stopped, 0);
  EXPECT_EQ(replaced, 0);
  EXPECT_EQ(replacing, 1);
  EXPECT_GE(firedAt - start, 20000u);
}

TEST_F(Win32SerialEventLoopTest, ATimerStartedByItsOwnCallbackFiresAgain) {
  int fired = 0;
  std::function<void()> again = [&] {
    if (++fired < 3) loop->StartTimer(1000, again);
  };
  loop->StartTimer(1000, again);
  EXPECT_TRUE(mainThread.RunUntil([&] { return fired == 3; }, kSafety));
}

TEST_F(Win32SerialEventLoopTest, NothingRunsOnceTheLoopIsGone) {
  int fired = 0;
  loop->StartTimer(1000, [&] { ++fired; });
  // The helper posts meanwhile; the loop goes before the main thread turns.
  std::this_thread::sleep_for(30ms);
  loop.reset();
  mainThread.RunFor(30ms);
  EXPECT_EQ(fired, 0);
}

// ---- A watched COM port (the pair of tests/win/com_port_pair.sh) ----

class WatchedPortTest : public Win32SerialEventLoopTest {
 protected:
  void SetUp() override {
    const auto pair = testing::TestComPortPair();
    if (!pair) GTEST_SKIP() << "no COM port pair (DRV_TEST_COM_PAIR)";
    ports = *pair;
    const std::pair<WinSerialDevice*, std::string> ends[] = {{&driver, ports.driverPort},
                                                             {&station, ports.stationPort}};
    for (const auto& [device, name] : ends) {
      ASSERT_EQ(device->Open(name), SerialError::kNone) << device->LastErrorText();
      SerialLineSettings settings;
      settings.hwFlow = hfNONE;
      ASSERT_EQ(device->ApplyLineSettings(settings), SerialError::kNone);
      ASSERT_EQ(device->SetTimeouts(TSerialPortDriver::kDeviceTimeouts), SerialError::kNone);
      ASSERT_EQ(device->Purge(), SerialError::kNone);
    }
  }

  void Send(const Bytes& bytes) {
    ASSERT_EQ(station.Write(bytes.data(), static_cast<uint32_t>(bytes.size())).count, bytes.size());
  }

  // The readable callback: reads everything there is, as the serial component does.
  void ReadWhatWaits() {
    ++readableCalls;
    onMainThread = onMainThread && mainThread.OnMainThread();
    const SerialQueueCounts counts = driver.QueryQueues();
    Bytes buffer(counts.inQueue + 1);
    const SerialTransfer transfer =
        driver.Read(buffer.data(), static_cast<uint32_t>(buffer.size()));
    received.insert(received.end(), buffer.begin(), buffer.begin() + transfer.count);
  }

  testing::ComPortPair ports;
  WinSerialDevice driver;
  WinSerialDevice station;
  Bytes received;
  int readableCalls = 0;
  bool onMainThread = true;
};

TEST_F(WatchedPortTest, InputIsReportedOnTheMainThreadAndAQuietPortIsLeftAlone) {
  loop->Watch(driver.ReadinessHandle(), [this] { ReadWhatWaits(); });
  EXPECT_TRUE(loop->Watching());
  const Bytes first = {0x01, 0x12, 0x20, 0x43};
  Send(first);
  ASSERT_TRUE(mainThread.RunUntil([&] { return received.size() == first.size(); }, kSafety));
  EXPECT_EQ(received, first);
  EXPECT_TRUE(onMainThread);

  // Quiet: a call or two after the last input may come, a stream of them may not.
  const int callsSoFar = readableCalls;
  mainThread.RunFor(200ms);
  EXPECT_LE(readableCalls - callsSoFar, 2);

  const Bytes second = {0x01, 0x22, 0x43};
  Send(second);
  ASSERT_TRUE(mainThread.RunUntil([&] { return received.size() == 7; }, kSafety));
  EXPECT_EQ(Bytes(received.begin() + 4, received.end()), second);
}

TEST_F(WatchedPortTest, AnUnwatchedPortMayBeClosedAtOnceAndIsReadAgainWhenWatched) {
  loop->Watch(driver.ReadinessHandle(), [this] { ReadWhatWaits(); });
  loop->Unwatch();
  EXPECT_FALSE(loop->Watching());
  Send({0x55, 0x66});
  mainThread.RunFor(100ms);
  EXPECT_TRUE(received.empty());

  // Input that came while nobody watched is reported by the next watch.
  loop->Watch(driver.ReadinessHandle(), [this] { ReadWhatWaits(); });
  ASSERT_TRUE(mainThread.RunUntil([&] { return received.size() == 2; }, kSafety));
  EXPECT_EQ(received, (Bytes{0x55, 0x66}));

  loop->Unwatch();
  driver.Close();
  Send({0x77});
  mainThread.RunFor(50ms);
  EXPECT_EQ(received.size(), 2u);
}

// The serial port component on the real device and loop: the station's frame comes in as
// packets, and the reply goes out.
TEST_F(WatchedPortTest, TheSerialComponentTakesAFrameAndAnswersIt) {
  driver.Close();
  TSerialPortDriver port{clock, driver, *loop};
  ConfigureStationLine(port);
  port.SetPortName(ports.driverPort);
  Bytes packets;
  bool packetsOnMainThread = true;
  port.OnReceivePacket = [&](TSerialPortDriver&, const uint8_t* packet, uint32_t size) {
    packetsOnMainThread = packetsOnMainThread && mainThread.OnMainThread();
    packets.insert(packets.end(), packet, packet + size);
  };
  ASSERT_TRUE(port.Open()) << driver.LastErrorText();

  const Bytes frame = {0x01, 0x12, 0x20, 0x02, 0x10, 0xD2, 0x20, 0x32, 0xC0, 0x92, 0x20,
                       0xF2, 0x30, 0xB2, 0xD0, 0x42, 0xB0, 0x62, 0x70, 0xE2, 0xF0, 0xE2,
                       0x00, 0x02, 0xD0, 0x12, 0x30, 0x22, 0x90, 0x32, 0xF0, 0x43};
  Send(frame);
  ASSERT_TRUE(mainThread.RunUntil([&] { return packets.size() >= frame.size(); }, kSafety));
  EXPECT_EQ(packets, frame);
  EXPECT_TRUE(packetsOnMainThread);

  EXPECT_TRUE(port.WriteByte(0x07));
  Bytes reply;
  const auto bound = std::chrono::steady_clock::now() + kSafety;
  while (reply.empty() && std::chrono::steady_clock::now() < bound) {
    uint8_t byte = 0;
    if (station.Read(&byte, 1).count == 1) reply.push_back(byte);
  }
  EXPECT_EQ(reply, Bytes{0x07});
  port.Close();
  EXPECT_FALSE(loop->Watching());
}

}  // namespace
}  // namespace drv
