#include "receiver/serial_device_win.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "receiver/serial_port_driver.h"
#include "receiver/station_line.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_serial_device.h"
#include "tests/fakes/fake_serial_event_loop.h"
#include "tests/win/com_port_pair.h"

namespace drv {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// The bit fields of the block: its third 32-bit word.
DWORD FlagWord(const DCB& dcb) {
  DWORD flags = 0;
  std::memcpy(&flags, reinterpret_cast<const char*>(&dcb) + 2 * sizeof(DWORD), sizeof flags);
  return flags;
}

// The settings the serial port component writes for the station's line.
SerialLineSettings StationLineSettings() {
  testing::FakeClock clock;
  testing::FakeSerialDevice device;
  testing::FakeSerialEventLoop loop{clock, [] { return false; }};
  TSerialPortDriver port{clock, device, loop};
  ConfigureStationLine(port);
  EXPECT_TRUE(port.Open());
  return device.lineSettings;
}

TEST(DeviceControlBlockTest, TheStationLineIsTheBlockOf28BytesWithFlagWord3011) {
  DCB dcb{};
  ASSERT_EQ(BuildDeviceControlBlock(StationLineSettings(), dcb), SerialError::kNone);
  EXPECT_EQ(sizeof(DCB), 28u);
  EXPECT_EQ(dcb.DCBlength, 28u);
  EXPECT_EQ(dcb.BaudRate, 9600u);
  // Binary mode, DTR control enable, RTS control toggle; nothing else.
  EXPECT_EQ(FlagWord(dcb), 0x3011u);
  EXPECT_EQ(dcb.XonLim, 512);
  EXPECT_EQ(dcb.XoffLim, 512);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
  EXPECT_EQ(dcb.ErrorChar, 0);
  EXPECT_EQ(dcb.EofChar, 0);
  EXPECT_EQ(dcb.EvtChar, 0);
}

TEST(DeviceControlBlockTest, EachSettingGoesToItsField) {
  struct Case {
    const char* name;
    void (*change)(SerialLineSettings&);
    DWORD flags;
  };
  const Case cases[] = {
      {"no flow control", [](SerialLineSettings& s) { s.hwFlow = hfNONE; }, 0x0011},
      {"RTS held on", [](SerialLineSettings& s) { s.hwFlow = hfNONERTSON; }, 0x1011},
      // RTS handshake and CTS output flow control.
      {"RTS/CTS", [](SerialLineSettings& s) { s.hwFlow = hfRTSCTS; }, 0x2015},
      {"RTS toggle", [](SerialLineSettings& s) { s.hwFlow = hfRTSTOG; }, 0x3011},
      // XON/XOFF out and in.
      {"XON/XOFF",
       [](SerialLineSettings& s) {
         s.hwFlow = hfNONE;
         s.swFlow = sfXONXOFF;
       },
       0x0311},
      {"DTR off",
       [](SerialLineSettings& s) {
         s.hwFlow = hfNONE;
         s.dtrOn = false;
       },
       0x0001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SerialLineSettings settings;
    c.change(settings);
    DCB dcb{};
    ASSERT_EQ(BuildDeviceControlBlock(settings, dcb), SerialError::kNone);
    EXPECT_EQ(FlagWord(dcb), c.flags);
  }

  SerialLineSettings odd;
  odd.bitsPerSecond = 250000;
  odd.dataBits = 7;
  odd.parity = ptMARK;
  odd.stopBits = sb2BITS;
  odd.xonLimit = 100;
  odd.xoffLimit = 200;
  DCB dcb{};
  ASSERT_EQ(BuildDeviceControlBlock(odd, dcb), SerialError::kNone);
  EXPECT_EQ(dcb.BaudRate, 250000u);
  EXPECT_EQ(dcb.ByteSize, 7);
  EXPECT_EQ(dcb.Parity, MARKPARITY);
  EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
  EXPECT_EQ(dcb.XonLim, 100);
  EXPECT_EQ(dcb.XoffLim, 200);
}

TEST(DeviceControlBlockTest, SettingsTheBlockCannotCarryAreRefused) {
  const std::vector<void (*)(SerialLineSettings&)> changes = {
      [](SerialLineSettings& s) { s.bitsPerSecond = 0; },
      [](SerialLineSettings& s) { s.dataBits = 4; },
      [](SerialLineSettings& s) { s.dataBits = 9; },
      [](SerialLineSettings& s) { s.parity = static_cast<TParity>(5); },
  };
  for (const auto& change : changes) {
    SerialLineSettings settings;
    change(settings);
    DCB dcb{};
    EXPECT_EQ(BuildDeviceControlBlock(settings, dcb), SerialError::kInvalidSetting);
  }
}

TEST(WinSerialDeviceTest, APortThatIsNotThereDoesNotOpen) {
  WinSerialDevice device;
  EXPECT_EQ(device.Open("\\\\.\\COM199"), SerialError::kNoSuchDevice);
  EXPECT_FALSE(device.IsOpen());
  EXPECT_FALSE(device.LastErrorText().empty());
  EXPECT_EQ(device.ReadinessHandle(), kNoReadinessHandle);
  uint8_t byte = 0;
  EXPECT_EQ(device.Read(&byte, 1).error, SerialError::kNotOpen);
  EXPECT_EQ(device.SetDtr(true), SerialError::kNotOpen);
}

// Reads what the other end has sent within the safety bound.
Bytes ReadAll(WinSerialDevice& device, std::size_t count) {
  Bytes got;
  const auto bound = std::chrono::steady_clock::now() + 10s;
  while (got.size() < count && std::chrono::steady_clock::now() < bound) {
    uint8_t buffer[64];
    const SerialTransfer transfer = device.Read(buffer, sizeof buffer);
    if (transfer.error != SerialError::kNone) break;
    got.insert(got.end(), buffer, buffer + transfer.count);
    if (transfer.count == 0) std::this_thread::sleep_for(1ms);
  }
  return got;
}

class ComPortPairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto pair = testing::TestComPortPair();
    if (!pair) GTEST_SKIP() << "no COM port pair (DRV_TEST_COM_PAIR)";
    ports = *pair;
    ASSERT_EQ(driver.Open(ports.driverPort), SerialError::kNone) << driver.LastErrorText();
    ASSERT_EQ(station.Open(ports.stationPort), SerialError::kNone) << station.LastErrorText();
    for (WinSerialDevice* device : {&driver, &station}) {
      SerialLineSettings settings;
      settings.hwFlow = hfNONE;
      ASSERT_EQ(device->ApplyLineSettings(settings), SerialError::kNone);
      ASSERT_EQ(device->SetTimeouts(TSerialPortDriver::kDeviceTimeouts), SerialError::kNone);
      ASSERT_EQ(device->Purge(), SerialError::kNone);
    }
  }

  testing::ComPortPair ports;
  WinSerialDevice driver;
  WinSerialDevice station;
};

TEST_F(ComPortPairTest, BytesCrossTheLineBothWaysAndAreCountedWhileTheyWait) {
  const Bytes frame = {0x01, 0x12, 0x20, 0x02, 0x10, 0xD2, 0x43};
  const SerialTransfer sent = station.Write(frame.data(), static_cast<uint32_t>(frame.size()));
  ASSERT_EQ(sent.error, SerialError::kNone);
  EXPECT_EQ(sent.count, frame.size());

  SerialQueueCounts counts;
  const auto bound = std::chrono::steady_clock::now() + 10s;
  do {
    counts = driver.QueryQueues();
  } while (counts.error == SerialError::kNone && counts.inQueue < frame.size() &&
           std::chrono::steady_clock::now() < bound);
  EXPECT_EQ(counts.error, SerialError::kNone);
  EXPECT_EQ(counts.inQueue, frame.size());
  EXPECT_EQ(ReadAll(driver, frame.size()), frame);
  EXPECT_EQ(driver.QueryQueues().inQueue, 0u);

  const uint8_t reply = 0x05;
  EXPECT_EQ(driver.Write(&reply, 1).count, 1u);
  EXPECT_EQ(ReadAll(station, 1), Bytes{0x05});
}

// The port's read time-outs end a read of a quiet line: nothing read, and no failure.
TEST_F(ComPortPairTest, AReadOfAQuietLineEndsOnItsTimeOutWithNothing) {
  uint8_t buffer[16];
  for (int i = 0; i < 3; ++i) {
    const SerialTransfer transfer = driver.Read(buffer, sizeof buffer);
    EXPECT_EQ(transfer.error, SerialError::kNone) << driver.LastErrorText();
    EXPECT_EQ(transfer.count, 0u);
  }
}

TEST_F(ComPortPairTest, PurgeDropsWhatWaits) {
  const Bytes noise(40, 0x55);
  station.Write(noise.data(), static_cast<uint32_t>(noise.size()));
  const auto bound = std::chrono::steady_clock::now() + 10s;
  while (driver.QueryQueues().inQueue < noise.size() && std::chrono::steady_clock::now() < bound) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(driver.Purge(), SerialError::kNone);
  EXPECT_EQ(driver.QueryQueues().inQueue, 0u);
  uint8_t buffer[64];
  EXPECT_EQ(driver.Read(buffer, sizeof buffer).count, 0u);
}

// A line without modem control (a pseudo-terminal under Wine) still carries data; what it
// refuses is "not supported", never a failed open, as on Linux.
TEST_F(ComPortPairTest, TheStationLineOpensWhateverTheModemLinesCanDo) {
  driver.Close();
  ASSERT_EQ(driver.Open(ports.driverPort), SerialError::kNone);
  SerialLineSettings settings = StationLineSettings();
  ASSERT_EQ(driver.ApplyLineSettings(settings), SerialError::kNone) << driver.LastErrorText();
  if (!driver.TogglesRtsItself()) {
    const SerialError rts = driver.SetRts(false);
    EXPECT_TRUE(rts == SerialError::kNone || rts == SerialError::kNotSupported)
        << SerialErrorName(rts);
  }
  const SerialError dtr = driver.SetDtr(true);
  EXPECT_TRUE(dtr == SerialError::kNone || dtr == SerialError::kNotSupported)
      << SerialErrorName(dtr);
  if (!driver.SupportsModemLines()) {
    EXPECT_EQ(driver.SetDtr(false), SerialError::kNotSupported);
  }
  EXPECT_EQ(driver.SetQueueSizes(2048, 2048), SerialError::kNone);
  EXPECT_EQ(driver.DrainOutput(), SerialError::kNone);

  const uint8_t reply = 0x07;
  EXPECT_EQ(driver.Write(&reply, 1).count, 1u);
  EXPECT_EQ(ReadAll(station, 1), Bytes{0x07});
}

TEST_F(ComPortPairTest, AnOpenPortIsNotOpenedTwiceByTheSameDevice) {
  EXPECT_EQ(driver.Open(ports.driverPort), SerialError::kAlreadyOpen);
  EXPECT_TRUE(driver.IsOpen());
  EXPECT_NE(driver.ReadinessHandle(), kNoReadinessHandle);
  driver.Close();
  driver.Close();
  EXPECT_FALSE(driver.IsOpen());
  EXPECT_EQ(driver.ReadinessHandle(), kNoReadinessHandle);
}

}  // namespace
}  // namespace drv
