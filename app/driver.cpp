#include "app/driver.h"

#include <cstdlib>
#include <exception>
#include <map>
#include <mutex>
#include <optional>

#include "app/close_code.h"
#include "app/driver_settings.h"
#include "app/health_file.h"
#include "app/port_controls.h"
#include "base/error_codes.h"
#include "base/error_log.h"
#include "base/file_io.h"
#include "base/paths.h"
#include "delivery/connection.h"
#include "delivery/event_record.h"
#include "delivery/event_spool.h"
#include "delivery/session.h"
#include "receiver/frame_decoder.h"
#include "receiver/frame_log.h"
#include "receiver/link_supervision.h"
#include "receiver/message_interpreter.h"
#include "receiver/serial_port_driver.h"
#include "receiver/station_line.h"

namespace drv {
namespace {

constexpr char kWrongCloseCodeMessage[] = "Не правильный пароль.";
constexpr char kSpoolDirectoryTakenMessage[] =
    "Каталог спула занят другим драйвером. События хранятся в памяти.";
// Test hook: a lower bound for the records held in memory while the spool directory fails, so
// that a test can reach it; a value that would raise the bound is ignored.
constexpr char kHeldRecordCapVariable[] = "DRVTIRVAL_TEST_HELD_RECORD_CAP";

std::size_t HeldRecordCap() {
  const char* text = std::getenv(kHeldRecordCapVariable);
  if (text == nullptr) return EventSpool::kMaxHeldRecords;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0' || value == 0 || value >= EventSpool::kMaxHeldRecords) {
    return EventSpool::kMaxHeldRecords;
  }
  return static_cast<std::size_t>(value);
}
constexpr int kServerIndicatorLastStep = 16;

// The spool prefix as a path usable from any directory: relative values count from the start
// directory, as they would from the process's working directory.
std::string SpoolPrefix(const std::string& workingDirectory, const std::string& pathForSoob) {
  if (IsAbsolutePath(pathForSoob) || workingDirectory.empty()) return pathForSoob;
  return JoinPath(workingDirectory, pathForSoob);
}

// The last name in `directory`: what tells one driver's directory from another's.
std::string DirectoryName(const std::string& directory) {
  std::size_t end = directory.size();
  while (end > 0 && IsPathSeparator(directory[end - 1])) --end;
  std::size_t begin = end;
  while (begin > 0 && !IsPathSeparator(directory[begin - 1])) --begin;
  return directory.substr(begin, end - begin);
}

}  // namespace

// Everything the main window owns besides its controls. Members that need the settings are
// built during start-up, once the settings file has been read.
struct Driver::State {
  State(const DriverPlatform& p, IOperatorWindow& w)
      : platform(p),
        window(w),
        settingsPath(SettingsPath(p.workingDirectory)),
        errorLogPath(ErrorLogPath(p.workingDirectory)),
        serialPort(p.clock, p.serialDevice, p.serialEvents) {}

  // The error log must never become an error of its own for the caller. Every line of the
  // driver's error log comes through here, on the main thread or the spool's own thread.
  void ReportError(int code) const noexcept {
    try {
      const std::lock_guard<std::mutex> lock(errorsMutex);
      ++errorsByCode[code];
    } catch (...) {
    }
    try {
      WriteErrorCode(errorLogPath, code);
    } catch (...) {
    }
  }

  void BuildHealthFile() {
    health = ReadHealthSettings(settingsPath);
    if (health.driverName.empty()) health.driverName = DirectoryName(platform.workingDirectory);
    if (health.file.empty()) return;
    const std::string path = IsAbsolutePath(health.file) || platform.workingDirectory.empty()
                                 ? health.file
                                 : JoinPath(platform.workingDirectory, health.file);
    healthFile = std::make_unique<HealthFileWriter>(platform.clock, path, health.intervalMs,
                                                    ReplaceFileAtomically,
                                                    [this] { ReportError(kErrorHealthFile); });
  }

  LinkStates Links() const {
    LinkStates links;
    links.portOpen = serialPort.IsOpen();
    links.stationLinkUp = linkSupervisor && linkSupervisor->StationLinkUp();
    links.serverConnected = session && session->IsConnected();
    links.serverIntroduced = links.serverConnected && session->IsIntroduced();
    return links;
  }

  HealthSnapshot Snapshot() const {
    HealthSnapshot snapshot;
    snapshot.driverName = health.driverName;
    snapshot.version = platform.versionText;
    snapshot.startUnixMs = startUnixMs;
    snapshot.nowUnixMs = platform.clock.UnixTimeMs();
    if (frameDecoder) {
      snapshot.frames = frameDecoder->Counts();
      snapshot.lastFrameUnixMs = frameDecoder->LastFrameUnixMs();
    }
    if (spool) snapshot.delivery = spool->Statistics();
    if (session) {
      snapshot.recordsSentAgain = session->RecordsSentAgain();
      snapshot.recordsPassedOver = session->RecordsPassedOver();
    }
    snapshot.links = Links();
    {
      const std::lock_guard<std::mutex> lock(errorsMutex);
      snapshot.errorsByCode = errorsByCode;
    }
    return snapshot;
  }

  void ConfigureSerialPort() {
    ConfigureStationLine(serialPort);
    // The form's SerialPortDriver1ReceivePacket: every packet goes to the frame decoder.
    serialPort.OnReceivePacket = [this](TSerialPortDriver&, const uint8_t* packet, uint32_t size) {
      if (frameDecoder) frameDecoder->ReceivePacket(packet, static_cast<int32_t>(size));
    };
    // Once per run: the port scan and every start would repeat it.
    serialPort.OnRtsToggleUnavailable = [this] {
      if (rtsToggleReported) return;
      rtsToggleReported = true;
      ReportError(kErrorRtsToggle);
    };
  }

  // The spool first: the session sends what it holds.
  void BuildDelivery() {
    spool = std::make_unique<EventSpool>(
        platform.clock, SpoolPrefix(platform.workingDirectory, settings.PathForSoob),
        settings.SendTorven8, [this](int code) { ReportError(code); }, HeldRecordCap());
    spoolState = spool->Start();
    if (settings.SendTorven8) BuildSession();
  }

  void BuildSession() {
    SessionHooks hooks;
    hooks.showLine = [this](const std::string& line) { window.AppendLine(line); };
    hooks.tickIndicator = [this] {
      if (++serverIndicatorStep > kServerIndicatorLastStep) serverIndicatorStep = 0;
      window.DrawServerIndicator(session && session->IsConnected(), serverIndicatorStep);
    };
    hooks.readIntroduction = [this] {
      return IntroductionInfo{settings.ComPort, serialPort.IsOpen(), settings.FirstNumber};
    };
    hooks.reportError = [this](int code) { ReportError(code); };
    session = std::make_unique<MessageServerSession>(
        platform.clock, platform.mainThread, platform.connections, *spool,
        [this] { return ReadServerEndpoint(settingsPath); }, platform.versionText,
        std::move(hooks));
    spool->SetRecordsQueuedListener([this] { session->RecordsQueued(); });
  }

  void BuildReceiver() {
    emitter = std::make_unique<EventEmitter>(settings.FirstNumber, *spool);
    interpreter = std::make_unique<MessageInterpreter>(platform.clock, *emitter);
    if (settings.Log) frameLog = std::make_unique<FrameLog>(platform.workingDirectory);
    frameDecoder = std::make_unique<FrameDecoder>(FrameDecoderContext{
        platform.clock, serialPort, window, [this] { return window.FrameDisplayEnabled(); },
        frameLog.get(), *interpreter});
    frameDecoder->SetLastFrameTime(startTime);
    linkSupervisor = std::make_unique<LinkSupervisor>(
        platform.clock, settings.Attention, [this] { return frameDecoder->LastFrameTime(); },
        [this](bool linkUp) { window.DrawStationIndicator(linkUp); },
        [this](int code) { ReportError(code); });
  }

  void BuildPortControls() {
    portControls = std::make_unique<PortControls>(PortControlsContext{
        serialPort, window, settings,
        [this](const std::string& text) { window.ShowMessageBox(text); },
        [this] { return window.AskCloseCode(); },
        [this](const std::string& portName) { SaveComPort(settingsPath, portName); },
        [this](int code) { ReportError(code); }, session.get()});
  }

  // A copy: the front ends hand over a temporary, while its devices and clock outlive the driver.
  const DriverPlatform platform;
  IOperatorWindow& window;
  const std::string settingsPath;
  const std::string errorLogPath;

  DriverSettings settings;
  HealthSettings health;
  std::string closeCode;
  TDateTime startTime = 0.0;
  int64_t startUnixMs = 0;
  int serverIndicatorStep = 0;
  bool shutDown = false;
  bool rtsToggleReported = false;
  EventSpool::DirectoryState spoolState = EventSpool::DirectoryState::kUnavailable;

  TSerialPortDriver serialPort;
  std::unique_ptr<EventSpool> spool;
  std::unique_ptr<MessageServerSession> session;
  std::unique_ptr<EventEmitter> emitter;
  std::unique_ptr<MessageInterpreter> interpreter;
  std::unique_ptr<FrameLog> frameLog;
  std::unique_ptr<FrameDecoder> frameDecoder;
  std::unique_ptr<LinkSupervisor> linkSupervisor;
  std::unique_ptr<PortControls> portControls;
  std::unique_ptr<HealthFileWriter> healthFile;

  mutable std::mutex errorsMutex;
  mutable std::map<int, uint64_t> errorsByCode;
};

Driver::Driver(const DriverPlatform& platform, IOperatorWindow& window)
    : state_(std::make_unique<State>(platform, window)) {
  state_->ConfigureSerialPort();
}

Driver::~Driver() {
  Shutdown();
}

void Driver::StartUp() {
  State& s = *state_;
  // The start directory is fixed by the platform (the process's working directory).
  s.startTime = s.platform.clock.Now();
  s.startUnixMs = s.platform.clock.UnixTimeMs();

  s.closeCode = DrawCloseCode(CloseCodeSeed());
  s.window.ShowCloseCode(s.closeCode);

  s.window.ClearPortList();
  s.window.SetPortListIndex(-1);

  const StartupTexts texts = ReadDriverSettings(s.settingsPath, s.settings);
  if (!texts.caption.empty()) s.window.SetBannerCaption(texts.caption);
  s.window.SetSecondServerRowVisible(s.settings.SendTorven7);
  s.BuildHealthFile();

  s.BuildDelivery();
  s.BuildReceiver();
  s.BuildPortControls();
  if (s.spoolState == EventSpool::DirectoryState::kHeldByAnotherDriver) {
    s.window.ShowMessageBox(kSpoolDirectoryTakenMessage);
    if (s.window.Ending()) return;
  }

  s.portControls->StartUpStep(texts.baudRate);
  // The program was ended while the busy port was reported: nothing more may start, so that
  // nothing goes to the server on the way out.
  if (s.window.Ending()) return;

  if (s.session) {
    s.session->Start();
    s.window.DrawServerIndicator(false, s.serverIndicatorStep);
  }

  s.window.ShowStartTime(FormatDateTime(s.startTime));
}

void Driver::OnTick() {
  State& s = *state_;
  if (s.shutDown || !s.spool) return;
  s.spool->OnTick();
  s.linkSupervisor->Tick();
  if (s.healthFile) s.healthFile->OnTick(s.Links(), [&s] { return s.Snapshot(); });
}

void Driver::RescanPorts() {
  if (state_->portControls) state_->portControls->RescanPorts();
}

bool Driver::ReopenConfiguredPort() {
  return state_->portControls && !state_->shutDown && state_->portControls->ReopenConfiguredPort();
}

std::optional<uint64_t> Driver::PortFailingForMs() const {
  const std::optional<uint64_t> since = state_->serialPort.ReadsFailingSinceUs();
  if (!since) return std::nullopt;
  return (state_->platform.clock.MicrosecondCount() - *since) / 1000;
}

bool Driver::CloseFailedPort() {
  return state_->portControls && !state_->shutDown && state_->portControls->CloseFailedPort();
}

void Driver::StartOrStop() {
  if (state_->portControls) state_->portControls->StartOrStop();
}

void Driver::SaveChosenPort() {
  if (state_->portControls) state_->portControls->SaveChosenPort();
}

bool Driver::RequestClose() {
  State& s = *state_;
  switch (s.window.AskCloseCode()) {
    case CloseCodeAnswer::kAccepted:
      if (s.serialPort.IsOpen()) s.serialPort.Close();
      return true;
    case CloseCodeAnswer::kWrongCode:
      s.window.ShowMessageBox(kWrongCloseCodeMessage);
      return false;
    case CloseCodeAnswer::kCancelled:
      return false;
  }
  return false;
}

void Driver::Shutdown() {
  State& s = *state_;
  if (s.shutDown) return;
  s.shutDown = true;
  // The session first: it may be waiting for the main thread, which the caller has stopped
  // taking tasks, and it must not touch the window after this.
  if (s.session) s.session->Stop();
  s.serialPort.Close();
  // Records the directory could not take so far are worth one more try.
  if (s.spool) s.spool->WriteHeldRecords();
  // The port closed and the server left: what a collector reads until the next start.
  if (s.healthFile) s.healthFile->WriteNow(s.Snapshot());
}

bool Driver::PortOpen() const {
  return state_->serialPort.IsOpen();
}

HealthSnapshot Driver::Health() const {
  return state_->Snapshot();
}

std::string Driver::HealthFilePath() const {
  return state_->healthFile ? state_->healthFile->Path() : std::string();
}

bool Driver::StationLinkUp() const {
  return state_->linkSupervisor && state_->linkSupervisor->StationLinkUp();
}

std::string Driver::CloseCode() const {
  return state_->closeCode;
}

}  // namespace drv
