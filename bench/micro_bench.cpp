// Per-frame and per-message costs of the driver's hot paths, in memory: the station's frame
// through decoding, interpretation and record building; the message-server framing both ways;
// the settings reader. Each figure is compared with the time a frame takes on the line.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/driver_settings.h"
#include "base/clock.h"
#include "base/cp1251.h"
#include "bench/bench_support.h"
#include "delivery/event_record.h"
#include "delivery/message_types.h"
#include "delivery/protocol.h"
#include "receiver/frame_decoder.h"
#include "receiver/frame_log.h"
#include "receiver/message_interpreter.h"

namespace drv::bench {
namespace {

namespace fs = std::filesystem;

// A scratch directory removed when the process ends.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::string pattern = (fs::temp_directory_path() / "drv-microbench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

ScratchDirectory& Scratch() {
  static ScratchDirectory scratch;
  return scratch;
}

// The driver's receive path from the port's packet to the completed record, with the display
// list and frame log as configured.
struct ReceivePath {
  explicit ReceivePath(bool displayAndLog)
      : logDirectory(displayAndLog ? Scratch().Path().string() : std::string()),
        frameLog(displayAndLog ? std::make_unique<FrameLog>(logDirectory) : nullptr),
        emitter(4, records),
        interpreter(clock, emitter),
        decoder(FrameDecoderContext{clock, reply, display,
                                    [displayAndLog] { return displayAndLog; }, frameLog.get(),
                                    interpreter}) {
    if (displayAndLog) fs::create_directories(Scratch().Path() / "log");
  }

  SystemClock clock;
  NullByteWriter reply;
  CountingDisplayList display;
  CountingEventSink records;
  std::string logDirectory;
  std::unique_ptr<FrameLog> frameLog;
  EventEmitter emitter;
  MessageInterpreter interpreter;
  FrameDecoder decoder;
};

void SetFrameCounters(benchmark::State& state, std::size_t frameBytes, std::size_t records) {
  state.counters["frame_bytes"] = static_cast<double>(frameBytes);
  state.counters["records_per_frame"] = static_cast<double>(records);
  state.counters["line_s_per_frame"] = LineSecondsPerFrame(frameBytes);
}

void RunFrames(benchmark::State& state, const std::vector<uint8_t>& frame,
               std::size_t expectedRecords, bool displayAndLog) {
  ReceivePath path(displayAndLog);
  for (auto _ : state) {
    path.decoder.ReceivePacket(frame.data(), static_cast<int32_t>(frame.size()));
    benchmark::DoNotOptimize(path.records.last);
  }
  const auto iterations = static_cast<std::size_t>(state.iterations());
  if (path.reply.count != iterations || path.reply.last != kReplyAccepted ||
      path.records.count != iterations * expectedRecords) {
    state.SkipWithError("the frame was not answered or not turned into its records");
  }
  SetFrameCounters(state, frame.size(), expectedRecords);
}

void BM_ReportFrame(benchmark::State& state) {
  RunFrames(state, ReportFrame(), 1, false);
}
BENCHMARK(BM_ReportFrame);

void BM_BlockFrame(benchmark::State& state) {
  RunFrames(state, EncodeStationFrame(BlockMessageBytes()), 3, false);
}
BENCHMARK(BM_BlockFrame);

// With the frame log on and the display check box ticked: the log file is opened, appended to
// and closed for every frame.
void BM_ReportFrameLogged(benchmark::State& state) {
  RunFrames(state, ReportFrame(), 1, true);
}
BENCHMARK(BM_ReportFrameLogged);

EventRecordBytes SampleRecord() {
  CountingEventSink sink;
  EventEmitter emitter(4, sink);
  EventRecord record;
  record.ObjectNumber = 0xD200;
  record.SetEventCode("30");
  record.Zone = 5;
  record.EventTime = 45000.5;
  emitter.EmitEventRecord(record);
  emitter.Flush();
  return sink.last;
}

// What the session does for each record: the numbered message, then its frame on the wire.
void BM_BuildEventFrame(benchmark::State& state) {
  const EventRecordBytes record = SampleRecord();
  MemoryConnection connection;
  connection.written.reserve(1 << 20);
  int64_t number = 0;
  for (auto _ : state) {
    const std::vector<uint8_t> message = BuildMessage(MsgEventRecord, number++, record);
    if (connection.written.size() > (1 << 19)) connection.written.clear();
    benchmark::DoNotOptimize(WriteFrame(connection, message));
  }
  SetFrameCounters(state, ReportFrame().size(), 1);
  state.counters["wire_bytes"] = 39 + static_cast<double>(record.size());
}
BENCHMARK(BM_BuildEventFrame);

void RunReadFrame(benchmark::State& state, const std::vector<uint8_t>& body, uint32_t type) {
  MemoryConnection connection;
  connection.incoming = BuildFrame(body);
  SystemClock clock;
  for (auto _ : state) {
    connection.readPosition = 0;
    const FrameReadResult frame = ReadFrame(connection, clock);
    const auto message = DecodeMessage(frame.body);
    if (!message || message->type != type) {
      state.SkipWithError("the frame did not read back as its message");
      break;
    }
    benchmark::DoNotOptimize(message->payload.data());
  }
  SetFrameCounters(state, ReportFrame().size(), 1);
  state.counters["wire_bytes"] = static_cast<double>(connection.incoming.size());
}

// The server's answer to every record.
void BM_ReadAckFrame(benchmark::State& state) {
  RunReadFrame(state, BuildMessage(MsgEventAck, 7, {}), MsgEventAck);
}
BENCHMARK(BM_ReadAckFrame);

// The record as a server reads it.
void BM_ReadEventFrame(benchmark::State& state) {
  const EventRecordBytes record = SampleRecord();
  RunReadFrame(state, BuildMessage(MsgEventRecord, 7, record), MsgEventRecord);
}
BENCHMARK(BM_ReadEventFrame);

// A settings file as a site keeps it: every key of the driver's vocabulary, a Russian caption in
// Windows-1251, a device map and a few comment lines.
std::string RealisticSettingsFile() {
  const fs::path path = Scratch().Path() / kSettingsFileName;
  std::string text =
      "; Драйвер приёмной станции, пульт 2\r\n"
      "[main]\r\n"
      "ComPort=COM3\r\n"
      "BaudRate=9600\r\n"
      "n_abs=-1\r\n"
      "FirstNumber=4\r\n"
      "PathForSoob=/var/spool/drvtirval/\r\n"
      "NotSendToDiskTorven8=0\r\n"
      "caption=\"Приёмная станция Тирвал, пост охраны №2\"\r\n"
      "Attention=00:05:00\r\n"
      "ret=1,2,3,4,5,6,7,8\r\n"
      "Log=1\r\n"
      "SendTorven7=0\r\n"
      "SendTorven8=1\r\n"
      "OTS=0\r\n"
      "\r\n"
      "[ServerHost]\r\n"
      "Address=127.0.0.1\r\n"
      "Port=12543\r\n"
      "PacketSize=2000\r\n"
      "\r\n"
      "[Devices]\r\n"
      "COM1=/dev/ttyS0\r\n"
      "COM2=/dev/ttyS1\r\n"
      "COM3=/dev/ttyUSB0\r\n"
      "COM4=/dev/ttyUSB1\r\n";
  std::ofstream(path, std::ios::binary) << Utf8ToCp1251(text);
  return path.string();
}

void BM_ReadDriverSettings(benchmark::State& state) {
  const std::string path = RealisticSettingsFile();
  for (auto _ : state) {
    DriverSettings settings;
    const StartupTexts texts = ReadDriverSettings(path, settings);
    if (settings.ComPort != "COM3" || texts.baudRate != "9600") {
      state.SkipWithError("the settings file was not read as written");
      break;
    }
    benchmark::DoNotOptimize(settings.Attention);
  }
  SetFrameCounters(state, ReportFrame().size(), 0);
}
BENCHMARK(BM_ReadDriverSettings);

// Read by the session before every connection attempt.
void BM_ReadServerEndpoint(benchmark::State& state) {
  const std::string path = RealisticSettingsFile();
  for (auto _ : state) {
    const ServerEndpoint endpoint = ReadServerEndpoint(path);
    if (endpoint.port != 12543) {
      state.SkipWithError("the server endpoint was not read as written");
      break;
    }
    benchmark::DoNotOptimize(endpoint.address.data());
  }
  SetFrameCounters(state, ReportFrame().size(), 0);
}
BENCHMARK(BM_ReadServerEndpoint);

}  // namespace
}  // namespace drv::bench
