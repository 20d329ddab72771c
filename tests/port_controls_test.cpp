#include "app/port_controls.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/error_codes.h"
#include "delivery/message_types.h"
#include "delivery/port_state.h"
#include "tests/fakes/fake_port_controls_view.h"
#include "tests/fakes/fake_serial_port_control.h"

namespace drv {
namespace {

using testing::FakePortControlsView;
using testing::FakeSerialPortControl;

std::string Device(const std::string& name) {
  return std::string(kDevicePrefix) + name;
}

struct QueuedMessage {
  uint32_t type;
  std::vector<uint8_t> payload;
};

class RecordingSessionLink final : public ISessionLink {
 public:
  bool IsConnected() const override { return true; }
  bool IsIntroduced() const override { return true; }
  bool QueueMessage(uint32_t type, std::span<const uint8_t> payload) override {
    if (refuse) throw std::runtime_error("ring unavailable");
    if (full) return false;
    messages.push_back({type, {payload.begin(), payload.end()}});
    return true;
  }

  std::vector<QueuedMessage> messages;
  bool refuse = false;
  bool full = false;
};

// Port state reports as (name, open flag), decoded from the queued payloads.
struct PortState {
  std::string name;
  bool open;
  bool operator==(const PortState&) const = default;
};

class PortControlsFixture {
 public:
  explicit PortControlsFixture(bool withSession = true) : withSession_(withSession) {}

  PortControls& controls() {
    if (!controls_) {
      controls_.emplace(PortControlsContext{
          port, view, settings, [this](const std::string& text) { messages.push_back(text); },
          [this] {
            ++closeCodeRequests;
            return closeCodeAnswer;
          },
          [this](const std::string& name) {
            if (failSave) throw SettingsWriteError("drvtirval2000n.ini");
            saved.push_back(name);
          },
          [this](int code) { errorCodes.push_back(code); }, withSession_ ? &session : nullptr});
    }
    return *controls_;
  }

  // Start-up as the window runs it, with the settings already in `settings`.
  void StartUp(const std::string& baudRate = "9600") {
    controls().ClearForStartUp();
    controls().StartUpStep(baudRate);
  }

  std::vector<PortState> Reports() const {
    std::vector<PortState> reports;
    for (const QueuedMessage& message : session.messages) {
      EXPECT_EQ(message.type, MsgPortState);
      EXPECT_EQ(message.payload.size(), 8u);
      if (message.payload.size() != 8u) continue;
      const std::size_t length = message.payload[0];
      reports.push_back({std::string(message.payload.begin() + 1,
                                     message.payload.begin() + 1 + static_cast<long>(length)),
                         message.payload[7] == 1});
    }
    return reports;
  }

  bool Running() const {
    return view.caption == kCaptionStop && !view.scanEnabled && !view.listEnabled;
  }
  bool Stopped() const {
    return view.caption == kCaptionStart && view.scanEnabled && view.listEnabled;
  }

  FakeSerialPortControl port;
  FakePortControlsView view;
  DriverSettings settings;
  RecordingSessionLink session;
  CloseCodeAnswer closeCodeAnswer = CloseCodeAnswer::kAccepted;
  bool failSave = false;
  int closeCodeRequests = 0;
  std::vector<std::string> messages;
  std::vector<std::string> saved;
  std::vector<int> errorCodes;

 private:
  bool withSession_;
  std::optional<PortControls> controls_;
};

// One row of the state table: a configured port, the ports that open, what the operator does,
// and everything that must show afterwards.
struct StateCase {
  const char* name;
  std::string comPort;
  std::vector<std::string> openablePorts;
  std::function<void(PortControlsFixture&)> act;  // after start-up
  bool expectRunning;
  std::vector<std::string> expectMessages;
  std::vector<std::string> expectItems;
  std::string expectText;
  std::vector<std::string> expectSaved;
  std::vector<PortState> expectReports;
  std::string expectComPort;
  bool expectDtrRaised = false;
};

void Nothing(PortControlsFixture&) {}

const StateCase kStateCases[] = {
    {"ConfiguredPortOpensAndRuns", "COM3", {"COM3"}, Nothing, true, {}, {}, "", {}, {}, "COM3"},
    {"BusyConfiguredPortStops",
     "COM3",
     {},
     Nothing,
     false,
     {kMessageConfiguredPortBusy},
     {},
     "",
     {},
     {},
     "COM3"},
    {"NoPortChosenStopsSilently",
     "COM255",
     {"COM255"},
     Nothing,
     false,
     {},
     {},
     "",
     {},
     {},
     "COM255"},
    {"SmallLetterCom255IsAPortName",
     "com255",
     {"com255"},
     Nothing,
     true,
     {},
     {},
     "",
     {},
     {},
     "com255"},
    {"EmptyPortNameFailsToOpen",
     "",
     {},
     Nothing,
     false,
     {kMessageConfiguredPortBusy},
     {},
     "",
     {},
     {},
     ""},
    {"ScanFindsCom1AndCom3",
     "COM255",
     {"COM1", "COM3"},
     [](PortControlsFixture& f) { f.controls().RescanPorts(); },
     false,
     {},
     {"COM1", "COM3"},
     "COM1",
     {"COM1"},
     {{"COM1", false}},
     "COM1"},
    {"ScanFindingNothingSavesTheUnchangedText",
     "COM255",
     {},
     [](PortControlsFixture& f) {
       f.view.text = "COM9";
       f.controls().RescanPorts();
     },
     false,
     {},
     {},
     "COM9",
     {"COM9"},
     {{"COM9", false}},
     "COM9"},
    {"PickInTheListSavesAndReports",
     "COM255",
     {"COM2", "COM4"},
     [](PortControlsFixture& f) {
       f.controls().RescanPorts();
       f.view.SetPortListIndex(1);
       f.controls().SaveChosenPort();
     },
     false,
     {},
     {"COM2", "COM4"},
     "COM4",
     {"COM2", "COM4"},
     {{"COM2", false}, {"COM4", false}},
     "COM4"},
    {"AcceptedStopClosesThePort",
     "COM3",
     {"COM3"},
     [](PortControlsFixture& f) { f.controls().StartOrStop(); },
     false,
     {},
     {},
     "",
     {},
     {{"COM3", false}},
     "COM3"},
    {"WrongCodeKeepsThePortRunning",
     "COM3",
     {"COM3"},
     [](PortControlsFixture& f) {
       f.closeCodeAnswer = CloseCodeAnswer::kWrongCode;
       f.controls().StartOrStop();
     },
     true,
     {kMessageAccessDenied},
     {},
     "",
     {},
     {{"COM3", true}},
     "COM3"},
    {"CancelledStopIsRefusedLikeAWrongCode",
     "COM3",
     {"COM3"},
     [](PortControlsFixture& f) {
       f.closeCodeAnswer = CloseCodeAnswer::kCancelled;
       f.controls().StartOrStop();
     },
     true,
     {kMessageAccessDenied},
     {},
     "",
     {},
     {{"COM3", true}},
     "COM3"},
    // The report names ComPort, not the text the operator typed into the list.
    {"StartOpensTheTypedPortAndRaisesDtr",
     "COM255",
     {"COM2"},
     [](PortControlsFixture& f) {
       f.view.text = "COM2";
       f.controls().StartOrStop();
     },
     true,
     {},
     {},
     "COM2",
     {},
     {{"COM255", true}},
     "COM255",
     true},
    {"FailedStartRescansAndSavesTheFirstPortFound",
     "COM255",
     {"COM2", "COM5"},
     [](PortControlsFixture& f) {
       f.view.text = "COM7";
       f.controls().StartOrStop();
     },
     false,
     {kMessagePortBusy},
     {"COM2", "COM5"},
     "COM2",
     {"COM2"},
     {{"COM2", false}, {"COM2", false}},
     "COM2"},
    {"StopThenStartAgain",
     "COM3",
     {"COM3"},
     [](PortControlsFixture& f) {
       f.controls().StartOrStop();
       f.view.text = "COM3";
       f.controls().StartOrStop();
     },
     true,
     {},
     {},
     "COM3",
     {},
     {{"COM3", false}, {"COM3", true}},
     "COM3",
     true},
    {"PickWhileRunningDoesNothing",
     "COM3",
     {"COM3"},
     [](PortControlsFixture& f) {
       f.view.text = "COM8";
       f.controls().SaveChosenPort();
     },
     true,
     {},
     {},
     "COM8",
     {},
     {},
     "COM3"},
    {"ScanWhileRunningLeavesThePortAlone",
     "COM3",
     {"COM3", "COM4"},
     [](PortControlsFixture& f) { f.controls().RescanPorts(); },
     true,
     {},
     {},
     "",
     {},
     {},
     "COM3"},
    {"LongNamesAreReportedByTheirFirstSixCharacters",
     "COM255",
     {"COM12345"},
     [](PortControlsFixture& f) {
       f.view.text = "COM12345";
       f.controls().SaveChosenPort();
       f.controls().StartOrStop();
     },
     true,
     {},
     {},
     "COM12345",
     {"COM12345"},
     {{"COM123", false}, {"COM123", true}},
     "COM12345",
     true},
};

class PortControlsStateTest : public ::testing::TestWithParam<StateCase> {};

TEST_P(PortControlsStateTest, FollowsTheStateTable) {
  const StateCase& c = GetParam();
  PortControlsFixture f;
  f.settings.ComPort = c.comPort;
  for (const std::string& name : c.openablePorts) f.port.openable.insert(Device(name));

  f.StartUp();
  c.act(f);

  EXPECT_EQ(f.Running(), c.expectRunning);
  EXPECT_EQ(f.Stopped(), !c.expectRunning);
  EXPECT_EQ(f.port.IsOpen(), c.expectRunning);
  EXPECT_EQ(f.messages, c.expectMessages);
  EXPECT_EQ(f.view.items, c.expectItems);
  EXPECT_EQ(f.view.text, c.expectText);
  EXPECT_EQ(f.saved, c.expectSaved);
  EXPECT_EQ(f.Reports(), c.expectReports);
  EXPECT_EQ(f.settings.ComPort, c.expectComPort);
  EXPECT_EQ(f.port.dtrCalls, c.expectDtrRaised ? std::vector<bool>{true} : std::vector<bool>{});
  EXPECT_TRUE(f.errorCodes.empty());
}

INSTANTIATE_TEST_SUITE_P(Table, PortControlsStateTest, ::testing::ValuesIn(kStateCases),
                         [](const ::testing::TestParamInfo<StateCase>& param) {
                           return std::string(param.param.name);
                         });

TEST(PortControlsTest, StartUpOpensTheConfiguredDeviceOnlyAndSendsNoReport) {
  PortControlsFixture f;
  f.settings.ComPort = "COM3";
  f.port.openable = {Device("COM3")};
  f.StartUp();
  EXPECT_EQ(f.port.openAttempts, std::vector<std::string>{"\\\\.\\COM3"});
  EXPECT_TRUE(f.session.messages.empty());
  EXPECT_TRUE(f.port.dtrCalls.empty());  // the line settings switch DTR on by themselves
}

TEST(PortControlsTest, NoPortChosenTriesNoOpen) {
  PortControlsFixture f;
  f.StartUp();
  EXPECT_TRUE(f.port.openAttempts.empty());
  EXPECT_TRUE(f.messages.empty());
}

TEST(PortControlsTest, StartUpClearsTheListBeforeAnything) {
  PortControlsFixture f;
  f.view.items = {"COM1"};
  f.view.index = 0;
  f.controls().ClearForStartUp();
  EXPECT_TRUE(f.view.items.empty());
  EXPECT_EQ(f.view.index, -1);
}

TEST(PortControlsTest, BaudRateTextSetsTheLineSpeedOnlyOnAnExactMatch) {
  struct Case {
    const char* text;
    std::optional<TBaudRate> rate;
  };
  const Case cases[] = {{"115200", br115200},    {"110", br110},     {"256000", br256000},
                        {"09600", std::nullopt}, {"", std::nullopt}, {"115 200", std::nullopt},
                        {"9600.0", std::nullopt}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    PortControlsFixture f;
    f.settings.ComPort = "COM1";
    f.port.openable = {Device("COM1")};
    f.StartUp(c.text);
    if (c.rate) {
      EXPECT_EQ(f.port.baudRateSets, 1);
      EXPECT_EQ(f.port.baudRate, *c.rate);
    } else {
      EXPECT_EQ(f.port.baudRateSets, 0);
      EXPECT_EQ(f.port.baudRate, br9600);
    }
  }
}

TEST(PortControlsTest, ScanTriesCom1ToCom32InOrderAndClosesEachFoundPort) {
  PortControlsFixture f;
  f.port.openable = {Device("COM1"), Device("COM3"), Device("COM32"), Device("COM33")};
  f.StartUp();
  f.controls().RescanPorts();

  std::vector<std::string> expected;
  for (int n = 1; n <= 32; ++n) expected.push_back(Device("COM" + std::to_string(n)));
  EXPECT_EQ(f.port.openAttempts, expected);
  EXPECT_EQ(f.port.closeCount, 3);
  EXPECT_FALSE(f.port.IsOpen());
  EXPECT_EQ(f.view.items, (std::vector<std::string>{"COM1", "COM3", "COM32"}));
}

TEST(PortControlsTest, AThrowingOpenCountsAsAFailedOpen) {
  PortControlsFixture f;
  f.settings.ComPort = "COM2";
  f.port.throwing = {Device("COM2"), Device("COM4")};
  f.port.openable = {Device("COM5")};
  f.StartUp();
  EXPECT_EQ(f.messages, std::vector<std::string>{kMessageConfiguredPortBusy});
  EXPECT_TRUE(f.Stopped());

  f.controls().RescanPorts();
  EXPECT_EQ(f.view.items, std::vector<std::string>{"COM5"});

  f.view.text = "COM4";
  f.controls().StartOrStop();
  EXPECT_EQ(f.messages.back(), kMessagePortBusy);
  EXPECT_TRUE(f.Stopped());
}

TEST(PortControlsTest, StopAsksForTheCloseCodeOnlyWhileRunning) {
  PortControlsFixture f;
  f.settings.ComPort = "COM3";
  f.port.openable = {Device("COM3")};
  f.StartUp();
  f.controls().StartOrStop();  // stop
  EXPECT_EQ(f.closeCodeRequests, 1);
  f.view.text = "COM3";
  f.controls().StartOrStop();  // start
  EXPECT_EQ(f.closeCodeRequests, 1);
}

TEST(PortControlsTest, AnyCaptionOtherThanStopCountsAsStoppedForStartButNotForSelection) {
  PortControlsFixture f;
  f.port.openable = {Device("COM6")};
  f.view.caption = "";
  f.view.text = "COM6";
  f.controls().SaveChosenPort();
  EXPECT_TRUE(f.saved.empty());
  f.controls().StartOrStop();
  EXPECT_TRUE(f.Running());
}

TEST(PortControlsTest, WithoutASessionNothingIsQueuedAndEverythingElseWorks) {
  PortControlsFixture f(/*withSession=*/false);
  f.port.openable = {Device("COM1"), Device("COM3")};
  f.StartUp();
  f.controls().RescanPorts();
  EXPECT_EQ(f.saved, std::vector<std::string>{"COM1"});
  EXPECT_EQ(f.settings.ComPort, "COM1");
  f.controls().StartOrStop();
  EXPECT_TRUE(f.Running());
  f.controls().StartOrStop();
  EXPECT_TRUE(f.Stopped());
  EXPECT_TRUE(f.session.messages.empty());
  EXPECT_TRUE(f.errorCodes.empty());
}

TEST(PortControlsTest, FailedSaveWritesCode19AndKeepsTheOldComPort) {
  PortControlsFixture f;
  f.failSave = true;
  f.StartUp();
  f.view.text = "COM4";
  f.controls().SaveChosenPort();
  EXPECT_EQ(f.errorCodes, std::vector<int>{kErrorPortSelection});
  EXPECT_EQ(f.settings.ComPort, "COM255");
  EXPECT_TRUE(f.session.messages.empty());
  EXPECT_TRUE(f.messages.empty());
}

TEST(PortControlsTest, FailedReportWritesCode19AfterTheSaveTookEffect) {
  // The session fails, or its ring is full and refuses the message.
  for (const bool ringFull : {false, true}) {
    SCOPED_TRACE(ringFull ? "ring full" : "session fails");
    PortControlsFixture f;
    f.session.refuse = !ringFull;
    f.session.full = ringFull;
    f.StartUp();
    f.view.text = "COM4";
    f.controls().SaveChosenPort();
    EXPECT_EQ(f.saved, std::vector<std::string>{"COM4"});
    EXPECT_EQ(f.settings.ComPort, "COM4");
    EXPECT_EQ(f.errorCodes, std::vector<int>{kErrorPortSelection});

    // The start/stop button's own report fails the same way and changes nothing else.
    f.port.openable = {Device("COM4")};
    f.controls().StartOrStop();
    EXPECT_TRUE(f.Running());
    EXPECT_EQ(f.errorCodes, (std::vector<int>{kErrorPortSelection, kErrorPortSelection}));
  }
}

// Without a window the configured port is opened again once it is free; the server learns of it.
TEST(PortControlsTest, ReopeningTakesOnlyTheConfiguredPortWhileStopped) {
  PortControlsFixture f;
  f.settings.ComPort = "COM3";
  f.StartUp();
  ASSERT_TRUE(f.Stopped());
  f.messages.clear();
  // What the list shows is not what is reopened.
  f.view.text = "COM7";
  f.port.openable = {Device("COM7")};
  EXPECT_FALSE(f.controls().ReopenConfiguredPort());
  EXPECT_TRUE(f.Stopped());

  f.port.openable = {Device("COM3")};
  EXPECT_TRUE(f.controls().ReopenConfiguredPort());
  EXPECT_TRUE(f.Running());
  EXPECT_EQ(f.port.openAttempts.back(), Device("COM3"));
  EXPECT_EQ(f.Reports(), (std::vector<PortState>{PortState{"COM3", true}}));
  EXPECT_TRUE(f.messages.empty()) << "retries are quiet";

  // Running, nothing is tried.
  const std::size_t attempts = f.port.openAttempts.size();
  EXPECT_FALSE(f.controls().ReopenConfiguredPort());
  EXPECT_EQ(f.port.openAttempts.size(), attempts);
}

// Without a window a port whose line failed is closed as a stop would close it, without the
// close code, and the reopening takes it up again; the server learns of both.
TEST(PortControlsTest, AFailedPortIsClosedWithoutTheCloseCodeAndReopened) {
  PortControlsFixture f;
  f.settings.ComPort = "COM3";
  f.port.openable = {Device("COM3")};
  f.StartUp();
  ASSERT_TRUE(f.Running());

  EXPECT_TRUE(f.controls().CloseFailedPort());
  EXPECT_FALSE(f.port.open);
  EXPECT_EQ(f.port.closeCount, 1);
  EXPECT_TRUE(f.Stopped());
  EXPECT_EQ(f.closeCodeRequests, 0);
  EXPECT_TRUE(f.messages.empty());
  EXPECT_EQ(f.Reports(), (std::vector<PortState>{PortState{"COM3", false}}));

  // Stopped, there is nothing to close.
  EXPECT_FALSE(f.controls().CloseFailedPort());
  EXPECT_EQ(f.port.closeCount, 1);

  EXPECT_TRUE(f.controls().ReopenConfiguredPort());
  EXPECT_TRUE(f.Running());
  EXPECT_EQ(f.Reports(), (std::vector<PortState>{{"COM3", false}, {"COM3", true}}));
  EXPECT_TRUE(f.errorCodes.empty());
}

TEST(PortControlsTest, AFailedReportOfTheClosedPortIsLoggedAndTheCloseStands) {
  PortControlsFixture f;
  f.settings.ComPort = "COM3";
  f.port.openable = {Device("COM3")};
  f.StartUp();
  f.session.refuse = true;
  EXPECT_TRUE(f.controls().CloseFailedPort());
  EXPECT_TRUE(f.Stopped());
  EXPECT_FALSE(f.port.open);
  EXPECT_EQ(f.errorCodes, std::vector<int>{kErrorPortSelection});
}

TEST(PortControlsTest, ReopeningWithoutAConfiguredPortTriesNothing) {
  PortControlsFixture f;
  f.StartUp();
  f.port.openable = {Device("COM255")};
  EXPECT_FALSE(f.controls().ReopenConfiguredPort());
  EXPECT_TRUE(f.port.openAttempts.empty());
}

}  // namespace
}  // namespace drv
