#include "receiver/serial_port_driver.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "receiver/station_line.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_serial_device.h"
#include "tests/fakes/fake_serial_event_loop.h"

namespace drv {
namespace {

using testing::FakeClock;
using testing::FakeSerialDevice;
using testing::FakeSerialEventLoop;

// Bytes 0, 1, 2, ... continuing from `first`, so joined packets show order and loss.
std::vector<uint8_t> Sequence(uint32_t count, uint32_t first = 0) {
  std::vector<uint8_t> bytes(count);
  for (uint32_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

const std::vector<std::string> kOpenCalls = {"Open \\\\.\\COM1", "ApplyLineSettings", "Purge",
                                             "SetQueueSizes 2048 2048", "SetTimeouts"};

class SerialPortDriverTest : public ::testing::Test {
 protected:
  SerialPortDriverTest() {
    port.OnReceivePacket = [this](TSerialPortDriver& sender, const uint8_t* packet, uint32_t size) {
      EXPECT_EQ(&sender, &port);
      packets.emplace_back(packet, packet + size);
      packetAddresses.push_back(packet);
    };
  }

  void OpenLikeDriver() {
    ConfigureStationLine(port);
    ASSERT_TRUE(port.Open());
    device.calls.clear();
    device.lineEvents.clear();
  }

  // Bytes arriving on the line now, and the loop's turn that follows.
  void Arrive(const std::vector<uint8_t>& bytes) {
    device.Receive(bytes);
    loop.Turn();
  }

  std::vector<uint8_t> Joined() const {
    std::vector<uint8_t> all;
    for (const auto& packet : packets) all.insert(all.end(), packet.begin(), packet.end());
    return all;
  }

  FakeClock clock;
  FakeSerialDevice device;
  FakeSerialEventLoop loop{clock, [this] { return device.Readable(); }};
  TSerialPortDriver port{clock, device, loop};
  std::vector<std::vector<uint8_t>> packets;
  std::vector<const uint8_t*> packetAddresses;
};

// ---- Opening and closing ----

TEST_F(SerialPortDriverTest, OpenConfiguresTheLineInOrderAndWatchesTheDevice) {
  ConfigureStationLine(port);
  ASSERT_TRUE(port.Open());
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(device.calls, kOpenCalls);
  EXPECT_EQ(device.timeouts, (SerialTimeouts{1, 0, 1, 0, 10}));
  EXPECT_TRUE(loop.watching);
  EXPECT_EQ(loop.watchedHandle, device.readinessHandle);
  EXPECT_FALSE(loop.timerArmed);

  SerialLineSettings expected;
  expected.bitsPerSecond = 9600;
  expected.dataBits = 8;
  expected.stopBits = sb1BITS;
  expected.parity = ptNONE;
  expected.hwFlow = hfRTSTOG;
  expected.swFlow = sfNONE;
  expected.dtrOn = true;
  expected.xonLimit = 512;
  expected.xoffLimit = 512;
  EXPECT_EQ(device.lineSettings, expected);
}

TEST_F(SerialPortDriverTest, LineSettingsFollowTheProperties) {
  struct Case {
    const char* name;
    std::function<void(TSerialPortDriver&)> set;
    std::function<void(SerialLineSettings&)> expect;
  };
  const Case cases[] = {
      {"rate from the table", [](auto& p) { p.SetBaudRate(br256000); },
       [](auto& s) { s.bitsPerSecond = 256000; }},
      {"custom rate",
       [](auto& p) {
         p.SetBaudRate(brCustom);
         p.SetBaudRateValue(31250);
       },
       [](auto& s) { s.bitsPerSecond = 31250; }},
      {"five data bits", [](auto& p) { p.SetDataBits(db5BITS); }, [](auto& s) { s.dataBits = 5; }},
      {"seven data bits", [](auto& p) { p.SetDataBits(db7BITS); }, [](auto& s) { s.dataBits = 7; }},
      {"two stop bits", [](auto& p) { p.SetStopBits(sb2BITS); },
       [](auto& s) { s.stopBits = sb2BITS; }},
      {"mark parity", [](auto& p) { p.SetParity(ptMARK); }, [](auto& s) { s.parity = ptMARK; }},
      {"RTS/CTS", [](auto& p) { p.SetHwFlow(hfRTSCTS); }, [](auto& s) { s.hwFlow = hfRTSCTS; }},
      {"XON/XOFF", [](auto& p) { p.SetSwFlow(sfXONXOFF); }, [](auto& s) { s.swFlow = sfXONXOFF; }},
      {"DTR off", [](auto& p) { p.SetEnableDTROnOpen(false); }, [](auto& s) { s.dtrOn = false; }},
      {"flow limits follow the input size", [](auto& p) { p.SetInBufSize(4096); },
       [](auto& s) { s.xonLimit = s.xoffLimit = 1024; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSerialDevice line;
    TSerialPortDriver driver(clock, line, loop);
    c.set(driver);
    ASSERT_TRUE(driver.Open());
    SerialLineSettings expected;
    expected.xonLimit = expected.xoffLimit = 512;
    c.expect(expected);
    EXPECT_EQ(line.lineSettings, expected);
  }
}

TEST_F(SerialPortDriverTest, FailedOpenLeavesThePortClosedAndUnwatched) {
  struct Case {
    const char* name;
    std::function<void(FakeSerialDevice&)> breakDevice;
    std::vector<std::string> calls;
  };
  const std::vector<std::string> openOnly = {"Open \\\\.\\COM1"};
  const Case cases[] = {
      {"device busy", [](auto& d) { d.openResult = SerialError::kBusy; }, openOnly},
      {"device missing", [](auto& d) { d.openResult = SerialError::kNoSuchDevice; }, openOnly},
      {"device layer throws", [](auto& d) { d.throwOnOpen = true; }, openOnly},
      {"line settings refused",
       [](auto& d) { d.applyResult = SerialError::kInvalidSetting; },
       {"Open \\\\.\\COM1", "ApplyLineSettings", "Close"}},
      {"purge refused",
       [](auto& d) { d.purgeResult = SerialError::kIo; },
       {"Open \\\\.\\COM1", "ApplyLineSettings", "Purge", "Close"}},
      {"queue sizes refused",
       [](auto& d) { d.queueSizesResult = SerialError::kIo; },
       {"Open \\\\.\\COM1", "ApplyLineSettings", "Purge", "SetQueueSizes 2048 2048", "Close"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSerialDevice line;
    FakeSerialEventLoop events(clock, [&line] { return !line.input.empty(); });
    TSerialPortDriver driver(clock, line, events);
    c.breakDevice(line);
    EXPECT_FALSE(driver.Open());
    EXPECT_FALSE(driver.IsOpen());
    EXPECT_FALSE(line.open);
    EXPECT_EQ(events.watches, 0);
    EXPECT_EQ(line.calls, c.calls);
    line.Receive(Sequence(3));
    events.Advance(20);
    EXPECT_EQ(line.queueQueries, 0);
  }
}

TEST_F(SerialPortDriverTest, RefusedTimeoutsDoNotFailTheOpen) {
  device.timeoutsResult = SerialError::kIo;
  EXPECT_TRUE(port.Open());
  EXPECT_TRUE(loop.watching);
}

TEST_F(SerialPortDriverTest, OpenOnAnOpenPortChangesNothing) {
  OpenLikeDriver();
  device.Receive(Sequence(3));
  EXPECT_TRUE(port.Open());
  EXPECT_TRUE(device.calls.empty());  // not reopened, reconfigured or purged
  EXPECT_EQ(loop.watches, 1);
  EXPECT_EQ(device.input.size(), 3u);
}

TEST_F(SerialPortDriverTest, PortNameChangesOnlyWhileClosed) {
  port.SetPortName("\\\\.\\COM4");
  ASSERT_TRUE(port.Open());
  port.SetPortName("\\\\.\\COM9");
  EXPECT_EQ(port.PortName(), "\\\\.\\COM4");
  EXPECT_TRUE(port.Open());
  port.Close();
  port.SetPortName("\\\\.\\COM9");
  ASSERT_TRUE(port.Open());
  EXPECT_EQ(device.calls.front(), "Open \\\\.\\COM4");
  EXPECT_EQ(device.calls[kOpenCalls.size() + 1], "Open \\\\.\\COM9");
}

TEST_F(SerialPortDriverTest, CloseEndsTheIntakeAndDropsAPartialPacket) {
  OpenLikeDriver();
  Arrive(Sequence(10));
  ASSERT_TRUE(loop.timerArmed);
  port.Close();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(device.open);
  EXPECT_FALSE(loop.watching);
  EXPECT_FALSE(loop.timerArmed);
  port.Close();
  EXPECT_EQ(device.calls, std::vector<std::string>{"Close"});
  loop.Advance(20);
  EXPECT_TRUE(packets.empty());

  // A new open starts from nothing: the old bytes do not join the next packet.
  ASSERT_TRUE(port.Open());
  Arrive(Sequence(3, 100));
  loop.Advance(11);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0], Sequence(3, 100));
}

TEST_F(SerialPortDriverTest, DestructionClosesAnOpenPort) {
  {
    TSerialPortDriver driver(clock, device, loop);
    ASSERT_TRUE(driver.Open());
    Arrive(Sequence(10));
  }
  EXPECT_FALSE(device.open);
  EXPECT_FALSE(loop.watching);
  EXPECT_FALSE(loop.timerArmed);
}

TEST_F(SerialPortDriverTest, LinePropertyChangesApplyAtOnceWhileOpen) {
  const std::function<void(TSerialPortDriver&)> setters[] = {
      [](auto& p) { p.SetBaudRate(br19200); }, [](auto& p) { p.SetBaudRateValue(4800); },
      [](auto& p) { p.SetDataBits(db7BITS); }, [](auto& p) { p.SetStopBits(sb2BITS); },
      [](auto& p) { p.SetParity(ptEVEN); },    [](auto& p) { p.SetHwFlow(hfRTSCTS); },
      [](auto& p) { p.SetSwFlow(sfXONXOFF); },
  };
  const std::vector<std::string> reapply = {"ApplyLineSettings", "Purge",
                                            "SetQueueSizes 2048 2048"};
  int index = 0;
  for (const auto& set : setters) {
    SCOPED_TRACE(index++);
    FakeSerialDevice closedLine;
    TSerialPortDriver closedDriver(clock, closedLine, loop);
    set(closedDriver);
    EXPECT_TRUE(closedLine.calls.empty());

    FakeSerialDevice line;
    TSerialPortDriver driver(clock, line, loop);
    ASSERT_TRUE(driver.Open());
    const SerialLineSettings before = line.lineSettings;
    line.calls.clear();
    set(driver);
    EXPECT_EQ(line.calls, reapply);
    EXPECT_NE(line.lineSettings, before);
  }
}

TEST_F(SerialPortDriverTest, RefusedLineChangeLeavesThePortOpen) {
  OpenLikeDriver();
  device.applyResult = SerialError::kInvalidSetting;
  port.SetStopBits(sb1HALFBITS);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_TRUE(loop.watching);
}

// New line settings purge the input, and with it the packet being collected.
TEST_F(SerialPortDriverTest, LineChangeWhileCollectingDropsThePartialPacket) {
  OpenLikeDriver();
  Arrive(Sequence(10));
  port.SetBaudRate(br19200);
  loop.Advance(20);
  EXPECT_TRUE(packets.empty());
  Arrive(Sequence(4, 50));
  loop.Advance(11);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0], Sequence(4, 50));
}

TEST_F(SerialPortDriverTest, DtrFollowsOnlyWhileOpen) {
  port.SetDtr(true);
  EXPECT_TRUE(device.calls.empty());
  OpenLikeDriver();
  port.SetDtr(false);
  port.SetDtr(true);
  EXPECT_EQ(device.calls, (std::vector<std::string>{"SetDtr off", "SetDtr on"}));
}

// ---- Property rules ----

TEST_F(SerialPortDriverTest, SettersKeepValuesInRange) {
  struct Case {
    const char* name;
    std::function<void(TSerialPortDriver&)> set;
    std::function<int64_t(const TSerialPortDriver&)> get;
    int64_t expected;
  };
  const auto packetSize = [](const TSerialPortDriver& p) { return int64_t{p.PacketSize()}; };
  const auto inBuf = [](const TSerialPortDriver& p) { return int64_t{p.InBufSize()}; };
  const auto outBuf = [](const TSerialPortDriver& p) { return int64_t{p.OutBufSize()}; };
  const auto timeout = [](const TSerialPortDriver& p) { return int64_t{p.PacketTimeout()}; };
  const auto delay = [](const TSerialPortDriver& p) { return int64_t{p.PollingDelay()}; };
  const auto rate = [](const TSerialPortDriver& p) { return int64_t{p.BaudRateValue()}; };
  const Case cases[] = {
      {"packet size 0", [](auto& p) { p.SetPacketSize(0); }, packetSize, -1},
      {"packet size -5", [](auto& p) { p.SetPacketSize(-5); }, packetSize, -1},
      {"packet size 256", [](auto& p) { p.SetPacketSize(256); }, packetSize, 256},
      {"packet size above 8192", [](auto& p) { p.SetPacketSize(9000); }, packetSize, 8192},
      {"large packet raises the input size", [](auto& p) { p.SetPacketSize(5000); }, inBuf, 5000},
      {"input size 100000", [](auto& p) { p.SetInBufSize(100000); }, inBuf, 8192},
      {"input size 10", [](auto& p) { p.SetInBufSize(10); }, inBuf, 128},
      {"input size below the packet size",
       [](auto& p) {
         p.SetPacketSize(1000);
         p.SetInBufSize(300);
       },
       inBuf, 1000},
      {"output size 100000", [](auto& p) { p.SetOutBufSize(100000); }, outBuf, 8192},
      {"output size 0", [](auto& p) { p.SetOutBufSize(0); }, outBuf, 128},
      {"packet timeout 0", [](auto& p) { p.SetPacketTimeout(0); }, timeout, -1},
      {"packet timeout -7", [](auto& p) { p.SetPacketTimeout(-7); }, timeout, -1},
      {"packet timeout 1", [](auto& p) { p.SetPacketTimeout(1); }, timeout, 1},
      {"polling delay 1", [](auto& p) { p.SetPollingDelay(1); }, delay, 5},
      {"polling delay 0", [](auto& p) { p.SetPollingDelay(0); }, delay, 5},
      {"polling delay 6", [](auto& p) { p.SetPollingDelay(6); }, delay, 6},
      {"rate from the table", [](auto& p) { p.SetBaudRate(br14400); }, rate, 14400},
      {"custom keeps the value",
       [](auto& p) {
         p.SetBaudRateValue(1234);
         p.SetBaudRate(brCustom);
       },
       rate, 1234},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSerialDevice line;
    TSerialPortDriver driver(clock, line, loop);
    c.set(driver);
    EXPECT_EQ(c.get(driver), c.expected);
  }
}

TEST_F(SerialPortDriverTest, QueueSizesChangeOnlyWhileClosed) {
  port.SetInBufSize(1024);
  port.SetOutBufSize(512);
  ASSERT_TRUE(port.Open());
  EXPECT_EQ(device.calls[3], "SetQueueSizes 1024 512");
  port.SetInBufSize(4096);
  port.SetOutBufSize(4096);
  EXPECT_EQ(port.InBufSize(), 1024u);
  EXPECT_EQ(port.OutBufSize(), 512u);
}

// A packet larger than the input size set while the port is open still arrives whole.
TEST_F(SerialPortDriverTest, PacketSizeRaisedWhileOpenStillFitsTheBuffer) {
  OpenLikeDriver();
  Arrive(Sequence(10));
  port.SetPacketSize(4000);
  EXPECT_EQ(port.InBufSize(), 4000u);
  Arrive(Sequence(3990, 10));
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0], Sequence(4000));
}

// A packet size made smaller than what has been collected cuts it into packets of the new size.
TEST_F(SerialPortDriverTest, PacketSizeLoweredWhileCollectingCutsWholePackets) {
  OpenLikeDriver();
  Arrive(Sequence(10));
  port.SetPacketSize(4);
  Arrive(Sequence(1, 10));
  loop.Turn();
  std::vector<std::size_t> sizes;
  for (const auto& packet : packets) sizes.push_back(packet.size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{4, 4, 3}));
  EXPECT_EQ(Joined(), Sequence(11));
}

// ---- Intake ----

struct IntakeStep {
  uint32_t advanceMs;                 // the clock moves on, the loop turning every millisecond,
  uint32_t arriving;                  // then bytes arrive and the loop turns once more;
  std::vector<uint32_t> packetSizes;  // the packets handed over during the step
};

struct IntakeCase {
  const char* name;
  std::vector<IntakeStep> steps;
  int16_t packetSize = 256;
  int32_t packetTimeout = 10;
  uint32_t startTick = 100000;
};

TEST_F(SerialPortDriverTest, PacketsFollowTheArrivalOfTheBytes) {
  const IntakeCase cases[] = {
      {"a partial packet goes out strictly more than the time-out after its first byte",
       {{0, 10, {}}, {10, 0, {}}, {1, 0, {10}}}},
      {"bytes arriving meanwhile join the packet",
       {{0, 4, {}}, {5, 4, {}}, {5, 3, {}}, {1, 0, {11}}}},
      {"a whole packet goes out at once and the next one starts with its own first byte",
       {{0, 10, {}}, {5, 246, {256}}, {5, 3, {}}, {10, 0, {}}, {1, 0, {3}}}},
      {"300 bytes at once: 256 now, the rest at the next turn", {{0, 300, {256}}, {0, 0, {44}}}},
      {"the rest joins what arrives before that turn", {{0, 300, {256}}, {0, 20, {64}}}},
      {"several whole packets at once", {{0, 512, {256, 256}}, {5, 3, {}}, {11, 0, {3}}}},
      {"a packet start moved past now lets the rest out at the next turn",
       {{0, 10, {}}, {5, 290, {256}}, {0, 0, {44}}}},
      // The start moves on by 267 ms, the line time of 256 bytes at 9600 bit/s.
      {"the rest waits the time-out from the moved packet start",
       {{0, 10, {}}, {2000, 290, {256}}, {3000, 0, {}}, {267, 0, {}}, {1, 0, {44}}},
       256,
       5000},
      {"without time-out a partial packet waits for a whole one",
       {{0, 10, {}}, {1000, 0, {}}, {1000, 246, {256}}},
       256,
       -1},
      {"tick count wrapping between start and now",
       {{0, 10, {}}, {10, 0, {}}, {1, 0, {10}}},
       256,
       10,
       0xFFFFFFFAu},
      {"tick count wrapping within a packet's line time",
       {{0, 10, {}}, {2000, 290, {256}}, {3000, 0, {}}, {267, 0, {}}, {1, 0, {44}}},
       256,
       5000,
       0xFFFFF000u},
      {"small packets", {{0, 9, {4, 4}}, {0, 0, {1}}}, 4},
      {"no packet collection hands over what arrives at once, a buffer at a time",
       {{0, 10, {10}}, {5, 3000, {2048, 952}}},
       -1},
  };
  for (const IntakeCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSerialDevice line;
    FakeSerialEventLoop events(clock, [&line] { return line.Readable(); });
    TSerialPortDriver driver(clock, line, events);
    std::vector<std::vector<uint8_t>> received;
    driver.OnReceivePacket = [&](TSerialPortDriver&, const uint8_t* packet, uint32_t size) {
      received.emplace_back(packet, packet + size);
    };
    driver.SetPacketSize(c.packetSize);
    driver.SetPacketTimeout(c.packetTimeout);
    driver.SetPacketMode(pmPass);
    clock.SetTick(c.startTick);
    ASSERT_TRUE(driver.Open());

    uint32_t sent = 0;
    std::size_t seen = 0;
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i));
      const IntakeStep& step = c.steps[i];
      events.Advance(step.advanceMs);
      line.Receive(Sequence(step.arriving, sent));
      sent += step.arriving;
      events.Turn();
      std::vector<uint32_t> sizes;
      for (; seen < received.size(); ++seen) {
        sizes.push_back(static_cast<uint32_t>(received[seen].size()));
      }
      EXPECT_EQ(sizes, step.packetSizes);
    }
    std::vector<uint8_t> joined;
    for (const auto& packet : received) joined.insert(joined.end(), packet.begin(), packet.end());
    EXPECT_EQ(joined, Sequence(static_cast<uint32_t>(joined.size())));
    EXPECT_FALSE(events.spun);
  }
}

// At 9600 bit/s a 30-byte frame takes about 31 ms on the line; with a 10 ms time-out each piece
// leaves 11 ms (in whole milliseconds) after its own first byte came.
TEST_F(SerialPortDriverTest, FrameSpreadOverTheLineArrivesInPieces) {
  OpenLikeDriver();
  const std::vector<uint8_t> frame = Sequence(30, 0x40);
  std::size_t arrived = 0;
  std::vector<uint32_t> packetTimes;
  std::vector<std::size_t> packetSizes;
  for (uint32_t ms = 1; ms <= 100; ++ms) {
    clock.Advance(1);
    // Byte i is complete on the line after (i + 1) * 10 / 9600 s.
    while (arrived < frame.size() && (arrived + 1) * 10000 <= ms * 9600) {
      device.input.push_back(frame[arrived++]);
    }
    const std::size_t before = packets.size();
    loop.Turn();
    if (packets.size() > before) {
      packetTimes.push_back(ms);
      packetSizes.push_back(packets.back().size());
    }
  }
  EXPECT_EQ(Joined(), frame);
  // Pieces start with the bytes seen at 2, 14 and 27 ms; each holds what came until it left.
  EXPECT_EQ(packetTimes, (std::vector<uint32_t>{13, 25, 38}));
  EXPECT_EQ(packetSizes, (std::vector<std::size_t>{12, 12, 6}));
}

// Nothing wakes the component while the line is quiet, and nothing is left armed after a packet.
TEST_F(SerialPortDriverTest, QuietLineCostsNoWakeUp) {
  OpenLikeDriver();
  loop.Advance(1000);
  EXPECT_EQ(loop.readableCalls, 0);
  EXPECT_EQ(loop.timerFirings, 0);
  EXPECT_EQ(device.queueQueries, 0);

  Arrive(Sequence(30));
  EXPECT_EQ(loop.timerDelays, std::vector<uint64_t>{10001});
  loop.Advance(1000);
  EXPECT_EQ(packets.size(), 1u);
  EXPECT_EQ(loop.timerFirings, 1);
  EXPECT_FALSE(loop.timerArmed);
  EXPECT_EQ(loop.readableCalls, 1);
}

// The time-out counts from the moment the first byte was read, to the microsecond, not from the
// start of its millisecond.
TEST_F(SerialPortDriverTest, APartialPacketLeavesJustAfterTheTimeOutFromItsFirstByte) {
  OpenLikeDriver();
  loop.AdvanceMicroseconds(700);  // well into a millisecond of the tick count
  Arrive(Sequence(30));
  loop.AdvanceMicroseconds(10000);
  EXPECT_TRUE(packets.empty()) << "exactly the time-out is not more than it";
  loop.AdvanceMicroseconds(1);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0], Sequence(30));
}

TEST_F(SerialPortDriverTest, DiscardModeDropsTimedOutPiecesButPassesWholePackets) {
  ConfigureStationLine(port);
  port.SetPacketMode(pmDiscard);
  ASSERT_TRUE(port.Open());
  Arrive(Sequence(10));
  loop.Advance(20);
  EXPECT_TRUE(packets.empty());
  EXPECT_TRUE(device.input.empty());

  Arrive(Sequence(256));
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0], Sequence(256));
}

// A device that fails its reads stays readable: watching it on would spin the loop. It is looked
// at again after PollingDelay, and the packet being collected keeps its time-out meanwhile.
TEST_F(SerialPortDriverTest, FailingReadsAreRetriedAfterThePollingDelay) {
  ConfigureStationLine(port);
  port.SetPollingDelay(6);
  ASSERT_TRUE(port.Open());

  device.failingReads = 1;
  Arrive(Sequence(256));
  EXPECT_TRUE(packets.empty());
  EXPECT_FALSE(loop.watching);
  EXPECT_EQ(loop.TimerDueInUs(), 6000u);
  loop.Advance(5);
  EXPECT_TRUE(packets.empty());
  loop.Advance(1);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_TRUE(loop.watching);

  Arrive(Sequence(10, 256));
  loop.Advance(3);
  device.failingReads = 1;
  Arrive(Sequence(5, 266));  // its read fails; the retry at 9 ms takes it in
  EXPECT_FALSE(loop.watching);
  loop.Advance(7);
  EXPECT_EQ(packets.size(), 1u);
  loop.Advance(1);  // 11 ms after the packet's first byte
  EXPECT_EQ(Joined(), Sequence(271));
  EXPECT_EQ(packets.back().size(), 15u);
  EXPECT_TRUE(loop.watching);
  EXPECT_FALSE(loop.spun);
}

TEST_F(SerialPortDriverTest, LineThatStaysBrokenIsLookedAtOncePerPollingDelay) {
  struct Case {
    const char* name;
    std::function<void(FakeSerialDevice&)> breakLine;
  };
  const Case cases[] = {
      {"reads fail",
       [](auto& d) {
         d.Receive(Sequence(3));
         d.failingReads = 1000;
       }},
      {"line hung up", [](auto& d) { d.hungUp = true; }},
      {"queue count fails",
       [](auto& d) {
         d.Receive(Sequence(3));
         d.queryResult = SerialError::kIo;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSerialDevice line;
    FakeSerialEventLoop events(clock, [&line] { return line.Readable(); });
    TSerialPortDriver driver(clock, line, events);
    ConfigureStationLine(driver);
    ASSERT_TRUE(driver.Open());
    c.breakLine(line);
    events.Turn();
    events.Advance(100);
    EXPECT_FALSE(events.spun);
    EXPECT_EQ(line.queueQueries, 21);  // at once, then every 5 ms
    EXPECT_TRUE(driver.IsOpen());
  }
}

// The moment the reads began to fail is kept through every retry, and forgotten at the first
// read that works again, or when the port closes.
TEST_F(SerialPortDriverTest, ReadsFailingSinceTheFirstFailureUntilOneSucceeds) {
  struct Case {
    const char* name;
    std::function<void(FakeSerialDevice&)> breakLine;
    std::function<void(FakeSerialDevice&)> mendLine;
  };
  const Case cases[] = {
      {"reads fail",
       [](auto& d) {
         d.Receive(Sequence(3));
         d.failingReads = 1000000;
       },
       [](auto& d) { d.failingReads = 0; }},
      {"line hung up", [](auto& d) { d.hungUp = true; },
       [](auto& d) {
         d.hungUp = false;
         d.Receive(Sequence(3));
       }},
      {"queue count fails",
       [](auto& d) {
         d.Receive(Sequence(3));
         d.queryResult = SerialError::kIo;
       },
       [](auto& d) { d.queryResult = SerialError::kNone; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSerialDevice line;
    FakeSerialEventLoop events(clock, [&line] { return line.Readable(); });
    TSerialPortDriver driver(clock, line, events);
    ConfigureStationLine(driver);
    ASSERT_TRUE(driver.Open());
    std::vector<uint8_t> received;
    driver.OnReceivePacket = [&received](TSerialPortDriver&, const uint8_t* data, uint32_t size) {
      received.insert(received.end(), data, data + size);
    };
    line.Receive(Sequence(2));
    events.Turn();
    events.Advance(20);
    EXPECT_EQ(driver.ReadsFailingSinceUs(), std::nullopt) << "reads work";

    c.breakLine(line);
    const uint64_t brokenAt = clock.MicrosecondCount();
    events.Turn();
    EXPECT_EQ(driver.ReadsFailingSinceUs(), brokenAt);
    events.Advance(5000);
    EXPECT_EQ(driver.ReadsFailingSinceUs(), brokenAt) << "the retries fail too";
    EXPECT_TRUE(driver.IsOpen());

    c.mendLine(line);
    events.Advance(20);
    EXPECT_EQ(driver.ReadsFailingSinceUs(), std::nullopt) << "a read worked again";
    EXPECT_EQ(received.size(), 5u) << "the bytes of both sides of the failure came in";

    c.breakLine(line);
    events.Turn();
    EXPECT_EQ(driver.ReadsFailingSinceUs(), clock.MicrosecondCount()) << "a new failure";
    driver.Close();
    EXPECT_EQ(driver.ReadsFailingSinceUs(), std::nullopt);
    c.mendLine(line);
    ASSERT_TRUE(driver.Open());
    EXPECT_EQ(driver.ReadsFailingSinceUs(), std::nullopt);
  }
}

TEST_F(SerialPortDriverTest, EveryPacketIsHandedOverFromTheSameBuffer) {
  OpenLikeDriver();
  Arrive(Sequence(600));
  loop.Turn();
  ASSERT_EQ(packetAddresses.size(), 3u);
  EXPECT_EQ(packetAddresses[0], packetAddresses[1]);
  EXPECT_EQ(packetAddresses[0], packetAddresses[2]);
}

TEST_F(SerialPortDriverTest, HandlerClosingThePortEndsTheIntake) {
  OpenLikeDriver();
  port.OnReceivePacket = [this](TSerialPortDriver& sender, const uint8_t* packet, uint32_t size) {
    packets.emplace_back(packet, packet + size);
    sender.Close();
  };
  Arrive(Sequence(768));
  EXPECT_EQ(packets.size(), 1u);
  EXPECT_EQ(device.readSizes.size(), 1u);
  EXPECT_FALSE(loop.watching);
  EXPECT_FALSE(loop.timerArmed);
}

// ---- Writing ----

TEST_F(SerialPortDriverTest, WriteWhileClosedWritesNothing) {
  EXPECT_FALSE(port.WriteByte(0x05));
  EXPECT_EQ(port.WriteBlock(Sequence(4).data(), 4, 10), 0u);
  EXPECT_TRUE(device.writeSizes.empty());
}

TEST_F(SerialPortDriverTest, WriteByteReachesTheLine) {
  OpenLikeDriver();
  EXPECT_TRUE(port.WriteByte(0x05));
  EXPECT_TRUE(port.WriteByte(0x07));
  EXPECT_EQ(device.written, (std::vector<uint8_t>{0x05, 0x07}));
  EXPECT_EQ(device.pauses, 0);
}

TEST_F(SerialPortDriverTest, WriteBlockFillsOnlyTheRoomLeftInTheOutputQueue) {
  port.SetOutBufSize(128);
  OpenLikeDriver();
  device.outQueue = 120;
  device.onPause = [this] {
    clock.Advance(1);
    device.outQueue = 0;  // the line has sent everything
  };
  const std::vector<uint8_t> block = Sequence(20);
  EXPECT_EQ(port.WriteBlock(block.data(), 20, 10), 20u);
  EXPECT_EQ(device.writeSizes, (std::vector<uint32_t>{8, 12}));
  EXPECT_EQ(device.written, block);
}

TEST_F(SerialPortDriverTest, WriteProgressRestartsTheTimeout) {
  port.SetOutBufSize(128);
  OpenLikeDriver();
  device.outQueue = 127;
  device.onPause = [this] {
    clock.Advance(1);
    if (device.pauses % 8 == 0) device.outQueue = 127;  // one byte sent every 8 ms
  };
  const uint32_t start = clock.TickCount();
  EXPECT_EQ(port.WriteBlock(Sequence(5).data(), 5, 10), 5u);
  EXPECT_EQ(TickDiff(clock.TickCount(), start), 32u);  // far beyond one time-out in all
}

TEST_F(SerialPortDriverTest, WriteWithoutProgressGivesUpStrictlyAfterTheTimeout) {
  struct Case {
    const char* name;
    std::function<void(FakeSerialDevice&)> block;
  };
  const Case cases[] = {
      {"output queue full", [](auto& d) { d.outQueue = 2048; }},
      {"output queue above its size", [](auto& d) { d.outQueue = 3000; }},
      {"write refused", [](auto& d) { d.writeResult = SerialError::kIo; }},
      {"write takes nothing", [](auto& d) { d.maxWritePerCall = 0; }},
      {"queue count unavailable", [](auto& d) { d.queryResult = SerialError::kIo; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSerialDevice line;
    TSerialPortDriver driver(clock, line, loop);
    driver.SetOutputTimeout(10);
    ASSERT_TRUE(driver.Open());
    c.block(line);
    line.onPause = [this] { clock.Advance(1); };
    const uint32_t start = clock.TickCount();
    EXPECT_FALSE(driver.WriteByte(0x05));
    EXPECT_EQ(TickDiff(clock.TickCount(), start), 11u);
    EXPECT_TRUE(line.written.empty());
  }
}

// ---- RTS keyed for an RS-485 converter ----

TEST_F(SerialPortDriverTest, RtsIsKeyedAroundEachWriteWhereTheLineDoesNotDoItItself) {
  struct Case {
    const char* name;
    THwFlowControl flow;
    bool lineTogglesRts;
    SerialError rtsResult;
    std::vector<std::string> openCalls;
    std::vector<std::string> aroundWrite;
    int notices;
  };
  const std::vector<std::string> plainOpen = kOpenCalls;
  std::vector<std::string> rtsLoweredAtOpen = kOpenCalls;
  rtsLoweredAtOpen.insert(rtsLoweredAtOpen.begin() + 2, "SetRts off");
  const Case cases[] = {
      {"the line keys RTS itself", hfRTSTOG, true, SerialError::kNone, plainOpen, {"Write 1"}, 0},
      {"keyed by the port: up, write, drain, down",
       hfRTSTOG,
       false,
       SerialError::kNone,
       rtsLoweredAtOpen,
       {"SetRts on", "Write 1", "Drain", "SetRts off"},
       0},
      {"no modem lines: the open still succeeds, and says so",
       hfRTSTOG,
       false,
       SerialError::kNotSupported,
       rtsLoweredAtOpen,
       {"Write 1"},
       1},
      {"RTS held on is the line settings' business",
       hfNONERTSON,
       false,
       SerialError::kNone,
       plainOpen,
       {"Write 1"},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSerialDevice line;
    line.togglesRtsItself = c.lineTogglesRts;
    line.rtsResult = c.rtsResult;
    TSerialPortDriver driver(clock, line, loop);
    ConfigureStationLine(driver);
    driver.SetHwFlow(c.flow);
    int notices = 0;
    driver.OnRtsToggleUnavailable = [&] { ++notices; };
    ASSERT_TRUE(driver.Open());
    EXPECT_EQ(line.calls, c.openCalls);
    EXPECT_EQ(notices, c.notices);

    line.lineEvents.clear();
    EXPECT_TRUE(driver.WriteByte(0x05));
    EXPECT_EQ(line.lineEvents, c.aroundWrite);
    EXPECT_EQ(line.written, std::vector<uint8_t>{0x05});
  }
}

TEST_F(SerialPortDriverTest, RtsComesDownAfterAWriteThatGotNothingOut) {
  device.togglesRtsItself = false;
  OpenLikeDriver();
  device.writeResult = SerialError::kIo;
  device.onPause = [this] { clock.Advance(1); };
  EXPECT_FALSE(port.WriteByte(0x05));
  ASSERT_GE(device.lineEvents.size(), 3u);
  EXPECT_EQ(device.lineEvents.front(), "SetRts on");
  EXPECT_EQ(device.lineEvents.back(), "SetRts off");
  for (const std::string& event : device.lineEvents) EXPECT_NE(event, "Drain");
}

TEST_F(SerialPortDriverTest, NewLineSettingsWhileOpenDecideTheKeyingAgain) {
  device.togglesRtsItself = false;
  OpenLikeDriver();
  port.SetBaudRate(br19200);
  EXPECT_EQ(device.calls, (std::vector<std::string>{"ApplyLineSettings", "SetRts off", "Purge",
                                                    "SetQueueSizes 2048 2048"}));
  port.SetHwFlow(hfNONE);
  device.lineEvents.clear();
  EXPECT_TRUE(port.WriteByte(0x05));
  EXPECT_EQ(device.lineEvents, std::vector<std::string>{"Write 1"});
}

TEST(PacketTransmitTimeTest, TenBitTimesPerByteRoundedHalfToEven) {
  struct Case {
    uint32_t bytes;
    uint32_t rate;
    uint32_t expectedMs;
  };
  const Case cases[] = {
      {256, 9600, 267}, {256, 115200, 22},   {1, 4000, 2},  // 2.5 rounds to even
      {3, 4000, 8},                                         // 7.5 rounds to even
      {256, 0, 0},      {8192, 110, 744727}, {0, 9600, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bytes) + " bytes at " + std::to_string(c.rate));
    EXPECT_EQ(PacketTransmitTimeMs(c.bytes, c.rate), c.expectedMs);
  }
}

}  // namespace
}  // namespace drv
