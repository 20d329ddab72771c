#include "receiver/serial_device_posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "receiver/device_names_posix.h"
#include "receiver/serial_custom_rate_posix.h"
#include "receiver/serial_port_driver.h"
#include "receiver/station_line.h"
#include "tests/fakes/temp_dir.h"
#include "tests/support/poll_event_loop_posix.h"

namespace drv {
namespace {

using Clock = std::chrono::steady_clock;
// Only a bound against hanging on a broken machine; nothing here measures time.
constexpr auto kSafetyBound = std::chrono::seconds(10);

// A pseudo-terminal pair: the device under test opens the slave by path, the test plays the
// station on the master.
class PseudoTerminal {
 public:
  PseudoTerminal() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
      ADD_FAILURE() << "openpty failed";
      return;
    }
    slavePath_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~PseudoTerminal() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  const std::string& SlavePath() const { return slavePath_; }
  int SlaveFd() const { return slave_; }

  void Send(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // What the device wrote, once `count` bytes have come or the safety bound has passed.
  std::vector<uint8_t> Receive(std::size_t count) {
    std::vector<uint8_t> bytes;
    const auto deadline = Clock::now() + kSafetyBound;
    while (bytes.size() < count && Clock::now() < deadline) {
      pollfd ready{master_, POLLIN, 0};
      if (poll(&ready, 1, 100) <= 0) continue;
      uint8_t buffer[256];
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

std::vector<uint8_t> Sequence(uint32_t count) {
  std::vector<uint8_t> bytes(count);
  for (uint32_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  return bytes;
}

class SerialDevicePosixTest : public ::testing::Test {
 protected:
  // Port names resolve as in the driver: through the "Devices" entries, here COM7 -> the pty.
  std::function<std::string(const std::string&)> Resolver() {
    return [this](const std::string& portName) {
      return DevicePathForPortName(portName, [this](const std::string& key) {
        const auto it = devices.find(key);
        return it == devices.end() ? std::nullopt : std::optional<std::string>(it->second);
      });
    };
  }

  PseudoTerminal pty;
  std::map<std::string, std::string> devices{{"COM7", pty.SlavePath()}};
  PosixSerialDevice device{Resolver()};
};

TEST_F(SerialDevicePosixTest, PortPassesBytesBothWaysOverARealLine) {
  SystemClock clock;
  testing::PollEventLoop loop;
  TSerialPortDriver port(clock, device, loop);
  port.SetPortName("\\\\.\\COM7");
  ConfigureStationLine(port);
  std::vector<uint8_t> received;
  std::size_t largestPacket = 0;
  port.OnReceivePacket = [&](TSerialPortDriver&, const uint8_t* packet, uint32_t size) {
    received.insert(received.end(), packet, packet + size);
    largestPacket = std::max<std::size_t>(largestPacket, size);
  };
  int rtsNotices = 0;
  port.OnRtsToggleUnavailable = [&] { ++rtsNotices; };
  ASSERT_TRUE(port.Open()) << device.LastErrorText();
  EXPECT_EQ(device.DevicePath(), pty.SlavePath());
  // A pseudo-terminal has neither an RS-485 mode nor an RTS line to key.
  EXPECT_EQ(rtsNotices, 1);

  const std::vector<uint8_t> sent = Sequence(300);
  pty.Send(sent);
  loop.RunUntil([&] { return received.size() >= sent.size(); },
                std::chrono::duration_cast<std::chrono::milliseconds>(kSafetyBound));
  EXPECT_EQ(received, sent);
  EXPECT_LE(largestPacket, 256u);

  EXPECT_TRUE(port.WriteByte(0x05));
  EXPECT_TRUE(port.WriteByte(0x07));
  EXPECT_EQ(pty.Receive(2), (std::vector<uint8_t>{0x05, 0x07}));
  port.Close();
  EXPECT_FALSE(device.IsOpen());
}

TEST_F(SerialDevicePosixTest, SecondOpenFailsWhileTheFirstHoldsTheLine) {
  ASSERT_EQ(device.Open("\\\\.\\COM7"), SerialError::kNone) << device.LastErrorText();
  PosixSerialDevice other(Resolver());
  EXPECT_EQ(other.Open("\\\\.\\COM7"), SerialError::kBusy);
  EXPECT_FALSE(other.IsOpen());
  EXPECT_FALSE(other.LastErrorText().empty());

  // The tty's exclusive flag outlives a descriptor: the line must clear it when it lets go.
  int exclusive = 0;
  ASSERT_EQ(ioctl(pty.SlaveFd(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  device.Close();
  ASSERT_EQ(ioctl(pty.SlaveFd(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  EXPECT_EQ(other.Open("\\\\.\\COM7"), SerialError::kNone) << other.LastErrorText();
  EXPECT_EQ(device.Open("\\\\.\\COM7"), SerialError::kBusy);
}

TEST_F(SerialDevicePosixTest, PseudoTerminalWithoutModemLinesStillOpens) {
  ASSERT_EQ(device.Open("\\\\.\\COM7"), SerialError::kNone) << device.LastErrorText();
  SerialLineSettings settings;
  settings.hwFlow = hfRTSTOG;
  settings.dtrOn = true;
  EXPECT_EQ(device.ApplyLineSettings(settings), SerialError::kNone) << device.LastErrorText();
  settings.hwFlow = hfNONERTSON;
  EXPECT_EQ(device.ApplyLineSettings(settings), SerialError::kNone) << device.LastErrorText();
  EXPECT_FALSE(device.SupportsModemLines());
  EXPECT_FALSE(device.TogglesRtsItself());
  EXPECT_EQ(device.SetDtr(true), SerialError::kNotSupported);
  EXPECT_EQ(device.SetRts(false), SerialError::kNotSupported);
  EXPECT_TRUE(device.IsOpen());
}

TEST_F(SerialDevicePosixTest, OpenFailsForMissingUnmappedAndNonSerialDevices) {
  testing::TempDir dir;
  testing::WriteFileBytes(dir.File("plain"), "not a tty");
  devices["COM8"] = "/nonexistent/ttyX";
  devices["COM9"] = dir.File("plain");
  struct Case {
    const char* portName;
    SerialError expected;
  };
  const Case cases[] = {
      {"\\\\.\\COM0", SerialError::kNoSuchDevice},
      {"", SerialError::kNoSuchDevice},
      {"\\\\.\\COM8", SerialError::kNoSuchDevice},
      {"\\\\.\\COM9", SerialError::kNotATerminal},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.portName);
    EXPECT_EQ(device.Open(c.portName), c.expected);
    EXPECT_FALSE(device.IsOpen());
    EXPECT_FALSE(device.LastErrorText().empty());
  }
  // A failed open leaves nothing locked behind.
  EXPECT_EQ(device.Open("\\\\.\\COM7"), SerialError::kNone) << device.LastErrorText();
}

TEST_F(SerialDevicePosixTest, EveryRateOfTheTableIsSetExactly) {
  ASSERT_EQ(device.Open("\\\\.\\COM7"), SerialError::kNone) << device.LastErrorText();
  for (uint8_t rate = br110; rate <= br256000; ++rate) {
    const uint32_t bitsPerSecond = BaudRateBitsPerSecond(static_cast<TBaudRate>(rate));
    SCOPED_TRACE(bitsPerSecond);
    SerialLineSettings settings;
    settings.bitsPerSecond = bitsPerSecond;
    ASSERT_EQ(device.ApplyLineSettings(settings), SerialError::kNone) << device.LastErrorText();
    uint32_t actual = 0;
    ASSERT_EQ(ReadLineRate(pty.SlaveFd(), actual), 0);
    EXPECT_EQ(actual, bitsPerSecond);
  }
  SerialLineSettings zeroRate;
  zeroRate.bitsPerSecond = 0;
  EXPECT_EQ(device.ApplyLineSettings(zeroRate), SerialError::kInvalidSetting);
}

TEST_F(SerialDevicePosixTest, QueueCountsReadsAndPurge) {
  ASSERT_EQ(device.Open("\\\\.\\COM7"), SerialError::kNone) << device.LastErrorText();
  ASSERT_EQ(device.ApplyLineSettings({}), SerialError::kNone) << device.LastErrorText();
  const auto waitForInput = [&](uint32_t count) {
    const auto deadline = Clock::now() + kSafetyBound;
    SerialQueueCounts counts = device.QueryQueues();
    while (counts.error == SerialError::kNone && counts.inQueue < count &&
           Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      counts = device.QueryQueues();
    }
    return counts;
  };

  pty.Send(Sequence(7));
  EXPECT_EQ(waitForInput(7).inQueue, 7u);
  EXPECT_EQ(device.Purge(), SerialError::kNone);
  EXPECT_EQ(device.QueryQueues().inQueue, 0u);

  pty.Send({0x01, 0x0D, 0x0A, 0x11, 0x13, 0x00});  // no translation, no flow control
  EXPECT_EQ(waitForInput(6).inQueue, 6u);
  uint8_t buffer[16] = {};
  const SerialTransfer read = device.Read(buffer, sizeof buffer);
  EXPECT_EQ(read.error, SerialError::kNone);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + read.count),
            (std::vector<uint8_t>{0x01, 0x0D, 0x0A, 0x11, 0x13, 0x00}));
  const SerialTransfer empty = device.Read(buffer, sizeof buffer);
  EXPECT_EQ(empty.error, SerialError::kNone);
  EXPECT_EQ(empty.count, 0u);

  const uint8_t reply[] = {0x0A, 0x05};
  EXPECT_EQ(device.Write(reply, 2).count, 2u);
  EXPECT_EQ(pty.Receive(2), (std::vector<uint8_t>{0x0A, 0x05}));  // sent as they are
}

TEST_F(SerialDevicePosixTest, ReadOfAHungUpLineFails) {
  ASSERT_EQ(device.Open("\\\\.\\COM7"), SerialError::kNone) << device.LastErrorText();
  ASSERT_EQ(device.ApplyLineSettings({}), SerialError::kNone) << device.LastErrorText();
  uint8_t buffer[8];
  const SerialTransfer empty = device.Read(buffer, sizeof buffer);
  EXPECT_EQ(empty.error, SerialError::kNone);
  EXPECT_EQ(empty.count, 0u);

  // What a USB adapter pulled out does to the line.
  if (ioctl(pty.SlaveFd(), TIOCVHANGUP) != 0) GTEST_SKIP() << "hanging up a tty needs privilege";
  const SerialTransfer hungUp = device.Read(buffer, sizeof buffer);
  EXPECT_EQ(hungUp.error, SerialError::kIo);
  EXPECT_EQ(hungUp.count, 0u);
  EXPECT_FALSE(device.LastErrorText().empty());
}

TEST_F(SerialDevicePosixTest, ClosedDeviceRefusesEveryOperation) {
  uint8_t byte = 0;
  EXPECT_EQ(device.ApplyLineSettings({}), SerialError::kNotOpen);
  EXPECT_EQ(device.Purge(), SerialError::kNotOpen);
  EXPECT_EQ(device.QueryQueues().error, SerialError::kNotOpen);
  EXPECT_EQ(device.Read(&byte, 1).error, SerialError::kNotOpen);
  EXPECT_EQ(device.Write(&byte, 1).error, SerialError::kNotOpen);
  EXPECT_EQ(device.SetDtr(true), SerialError::kNotOpen);
  EXPECT_EQ(device.SetRts(true), SerialError::kNotOpen);
  EXPECT_EQ(device.DrainOutput(), SerialError::kNotOpen);
  device.Close();  // harmless
  EXPECT_FALSE(device.IsOpen());
}

TEST(ConfigureTermiosTest, CharacterFormatAndFlowControl) {
  struct Case {
    const char* name;
    uint8_t dataBits;
    TStopBits stopBits;
    TParity parity;
    THwFlowControl hwFlow;
    TSwFlowControl swFlow;
    tcflag_t cflagSet;    // these bits must be set
    tcflag_t cflagClear;  // and these clear
    tcflag_t iflagSet;
    tcflag_t iflagClear;
  };
  const tcflag_t kParityBits = PARENB | PARODD | CMSPAR;
  const Case cases[] = {
      {"8N1", 8, sb1BITS, ptNONE, hfNONERTSON, sfNONE, CLOCAL | CREAD,
       kParityBits | CSTOPB | CRTSCTS, 0, IXON | IXOFF | INPCK | ICRNL | ISTRIP},
      {"7E2", 7, sb2BITS, ptEVEN, hfNONE, sfNONE, PARENB | CSTOPB, PARODD | CMSPAR, 0, INPCK},
      {"6O1", 6, sb1BITS, ptODD, hfRTSTOG, sfNONE, PARENB | PARODD, CMSPAR | CRTSCTS, 0, 0},
      {"mark parity", 8, sb1BITS, ptMARK, hfNONE, sfNONE, PARENB | CMSPAR | PARODD, 0, 0, 0},
      {"space parity", 8, sb1BITS, ptSPACE, hfNONE, sfNONE, PARENB | CMSPAR, PARODD, 0, 0},
      {"5 bits, 1.5 stop bits", 5, sb1HALFBITS, ptNONE, hfNONE, sfNONE, CSTOPB, 0, 0, 0},
      {"RTS/CTS", 8, sb1BITS, ptNONE, hfRTSCTS, sfNONE, CRTSCTS, 0, 0, 0},
      {"XON/XOFF", 8, sb1BITS, ptNONE, hfNONE, sfXONXOFF, 0, CRTSCTS, IXON | IXOFF, IXANY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    termios tio{};
    tio.c_iflag = ICRNL | ISTRIP | INPCK | IXANY;  // what a fresh tty might bring along
    tio.c_cflag = CS8 | PARENB | CSTOPB | CRTSCTS;
    tio.c_lflag = ICANON | ECHO;
    tio.c_oflag = OPOST;
    SerialLineSettings settings;
    settings.dataBits = c.dataBits;
    settings.stopBits = c.stopBits;
    settings.parity = c.parity;
    settings.hwFlow = c.hwFlow;
    settings.swFlow = c.swFlow;
    ASSERT_EQ(ConfigureTermios(settings, tio), SerialError::kNone);
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    EXPECT_EQ(tio.c_cflag & CSIZE, sizes[c.dataBits - 5]);
    EXPECT_EQ(tio.c_cflag & c.cflagSet, c.cflagSet);
    EXPECT_EQ(tio.c_cflag & c.cflagClear, 0u);
    EXPECT_EQ(tio.c_iflag & c.iflagSet, c.iflagSet);
    EXPECT_EQ(tio.c_iflag & c.iflagClear, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VSTART], 0x11);
    EXPECT_EQ(tio.c_cc[VSTOP], 0x13);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
  }
}

TEST(ConfigureTermiosTest, ImpossibleFormatsAreRefused) {
  struct Case {
    const char* name;
    uint8_t dataBits;
    TStopBits stopBits;
  };
  const Case cases[] = {
      {"4 data bits", 4, sb1BITS},
      {"9 data bits", 9, sb1BITS},
      {"1.5 stop bits with 8 data bits", 8, sb1HALFBITS},
      {"2 stop bits with 5 data bits", 5, sb2BITS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    termios tio{};
    SerialLineSettings settings;
    settings.dataBits = c.dataBits;
    settings.stopBits = c.stopBits;
    EXPECT_EQ(ConfigureTermios(settings, tio), SerialError::kInvalidSetting);
  }
}

}  // namespace
}  // namespace drv
