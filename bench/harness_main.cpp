// drvtirval-harness: runs the real driver between a station on a pseudo-terminal and a loopback
// message server, and measures what the operator and the server would see: the reply latency,
// the latency from frame to record at the server, the idle cost and the spool drain rate.
// Each measurement prints one JSON object per line on stdout and a readable summary on stderr.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/harness_rig.h"
#include "delivery/event_record.h"
#include "delivery/spool_directory.h"
#include "receiver/frame_decoder.h"

namespace drv::harness {
namespace {

namespace fs = std::filesystem;

constexpr char kUsage[] =
    "usage: drvtirval-harness COMMAND --driver PATH [options]\n"
    "\n"
    "Runs the driver program headless (QT_QPA_PLATFORM=offscreen) in a scratch working\n"
    "directory, with port COM1 on a pseudo-terminal and a loopback message server that accepts\n"
    "it and acknowledges every record. Results: one JSON object per line on stdout.\n"
    "\n"
    "commands:\n"
    "  latency   frames one at a time: reply byte latency and frame-to-server latency\n"
    "  idle      processor share and resident memory while nothing happens\n"
    "  drain     time to send a spool of files left from an outage\n"
    "  backlog   with a large spool at start: time to the first reply, resident memory, and the\n"
    "            drain rate at that size\n"
    "  pty       round trip of one frame and one reply byte over a bare pseudo-terminal\n"
    "\n"
    "options:\n"
    "  --driver PATH      the driver program (required except for pty)\n"
    "  --frames N         latency: frames to send (default 2000)\n"
    "  --server-down      latency: no server listening, so every record goes to the spool\n"
    "  --block            latency: block messages of 16 records instead of report frames\n"
    "  --seconds N        idle: length of the quiet window (default 30)\n"
    "  --files N          drain, backlog: spool files waiting at start (default 1000)\n"
    "  --work-base DIR    where scratch directories go (default: the system's temp directory)\n"
    "  --keep             keep the scratch directory\n"
    "  --help, --version\n";

struct Options {
  std::string command;
  std::string driver;
  int frames = 2000;
  int seconds = 30;
  int files = 1000;
  std::string workBase = fs::temp_directory_path().string();
  bool keep = false;
  bool serverDown = false;
  bool block = false;
};

[[noreturn]] void BadArgument(const std::string& message) {
  std::fprintf(stderr, "drvtirval-harness: %s\n(see drvtirval-harness --help)\n", message.c_str());
  std::exit(2);
}

int PositiveNumber(std::string_view name, const char* text) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 1 || value > 10000000) {
    BadArgument(std::string(name) + " needs a whole number from 1 to 10000000, not '" + text + "'");
  }
  return static_cast<int>(value);
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const auto value = [&]() -> const char* {
      if (i + 1 >= argc) BadArgument(std::string(arg) + " needs a value");
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--version") {
      std::printf("drvtirval-harness %s\n", DRV_VERSION_TEXT);
      std::exit(0);
    } else if (arg == "--driver") {
      options.driver = value();
    } else if (arg == "--frames") {
      options.frames = PositiveNumber(arg, value());
    } else if (arg == "--seconds") {
      options.seconds = PositiveNumber(arg, value());
    } else if (arg == "--files") {
      options.files = PositiveNumber(arg, value());
    } else if (arg == "--work-base") {
      options.workBase = value();
    } else if (arg == "--keep") {
      options.keep = true;
    } else if (arg == "--server-down") {
      options.serverDown = true;
    } else if (arg == "--block") {
      options.block = true;
    } else if (!arg.empty() && arg[0] != '-' && options.command.empty()) {
      options.command = arg;
    } else {
      BadArgument("unknown argument '" + std::string(arg) + "'");
    }
  }
  if (options.command.empty()) BadArgument("no command given");
  if (options.command != "latency" && options.command != "idle" && options.command != "drain" &&
      options.command != "backlog" && options.command != "pty") {
    BadArgument("unknown command '" + options.command + "'");
  }
  if (options.command != "pty") {
    if (options.driver.empty()) BadArgument("--driver PATH is required");
    if (::access(options.driver.c_str(), X_OK) != 0) {
      BadArgument("the driver program '" + options.driver + "' is not an executable file");
    }
    // The driver runs in its own working directory.
    options.driver = fs::absolute(options.driver).string();
  }
  return options;
}

// Keys and numbers as one JSON object on one line.
class JsonLine {
 public:
  explicit JsonLine(const std::string& measure) { Text("measure", measure); }
  JsonLine& Text(const std::string& key, const std::string& value) {
    Key(key);
    out_ << '"' << value << '"';
    return *this;
  }
  JsonLine& Number(const std::string& key, double value) {
    Key(key);
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", std::isfinite(value) ? value : 0.0);
    out_ << text;
    return *this;
  }
  JsonLine& Raw(const std::string& key, const std::string& json) {
    Key(key);
    out_ << json;
    return *this;
  }
  JsonLine& Samples(const std::string& prefix, const Summary& s) {
    Number(prefix + "count", static_cast<double>(s.count));
    Number(prefix + "min", s.min);
    Number(prefix + "p50", s.p50);
    Number(prefix + "p90", s.p90);
    Number(prefix + "p99", s.p99);
    Number(prefix + "max", s.max);
    return Number(prefix + "mean", s.mean);
  }
  void Print() {
    std::printf("%s}\n", out_.str().c_str());
    std::fflush(stdout);
  }

 private:
  void Key(const std::string& key) {
    out_ << (first_ ? "{" : ", ") << '"' << key << "\": ";
    first_ = false;
  }
  std::ostringstream out_;
  bool first_ = true;
};

// Samples counted in whole-millisecond buckets, {"10": 120, "11": 800, ...}.
std::string HistogramJson(const std::vector<double>& samplesMs) {
  std::map<int, int> buckets;
  for (const double ms : samplesMs) ++buckets[static_cast<int>(std::floor(ms))];
  std::ostringstream out;
  out << '{';
  bool first = true;
  for (const auto& [bucket, count] : buckets) {
    out << (first ? "" : ", ") << '"' << bucket << "\": " << count;
    first = false;
  }
  out << '}';
  return out.str();
}

void PrintSummary(const char* what, const Summary& s) {
  std::fprintf(stderr, "%-28s n=%zu  p50 %.2f  p90 %.2f  p99 %.2f  max %.2f  mean %.2f ms\n", what,
               s.count, s.p50, s.p90, s.p99, s.max, s.mean);
}

// The driver running against the station line and the loopback server, accepted and with its
// port answering.
struct Rig {
  explicit Rig(const Options& options, bool keepRecords = true)
      : work(options.workBase), spoolDirectory(work.Path() + "/spool/") {
    if (options.keep) work.Keep();
    fs::create_directories(spoolDirectory);
    server.KeepRecords(keepRecords);
    WriteDriverSettings(work.Path(),
                        {line.DevicePath(), options.serverDown ? refusing.Port() : server.Port(),
                         spoolDirectory, false});
  }

  void StartDriver(const Options& options) { driver.emplace(options.driver, work.Path()); }

  // Waits for the server to accept the driver (unless it is down) and for the port to answer
  // a frame.
  void WaitReady(bool serverUp = true) {
    if (serverUp && !server.WaitAccepted(30000)) {
      Abandon("the driver did not introduce itself to the server");
    }
    const std::vector<uint8_t> empty = {kFrameStartByte, 0x03};
    bool answered = false;
    for (int attempt = 0; attempt < 100 && !answered; ++attempt) {
      line.Write(empty);
      answered = line.ReadByte(200).has_value();
    }
    if (!answered) Abandon("the driver does not answer frames on its port");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    line.DiscardInput();
  }

  [[noreturn]] void Abandon(const std::string& why) {
    work.Keep();
    std::fprintf(stderr, "drvtirval-harness: %s\n--- driver output ---\n%s\n", why.c_str(),
                 DriverLogTail(work.Path()).c_str());
    if (driver) std::fprintf(stderr, "driver: %s\n", driver->Stop().c_str());
    std::exit(1);
  }

  WorkDirectory work;
  std::string spoolDirectory;
  StationLine line;
  LoopbackServer server;
  RefusingPort refusing;
  std::optional<DriverProcess> driver;
};

// The floor the pseudo-terminal itself sets: a frame across, one byte back, nothing polled.
Summary PtyRoundTrip(int samples) {
  StationLine line;
  const int device = ::open(line.DevicePath().c_str(), O_RDWR | O_NOCTTY);
  std::vector<double> ms;
  const std::vector<uint8_t> frame = bench::ReportFrame();
  for (int i = 0; i < samples && device >= 0; ++i) {
    const Clock::time_point start = Clock::now();
    line.Write(frame);
    std::size_t got = 0;
    uint8_t buffer[64];
    while (got < frame.size()) {
      const ssize_t n = ::read(device, buffer, sizeof buffer);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    const uint8_t reply = kReplyAccepted;
    if (::write(device, &reply, 1) != 1) break;
    if (!line.ReadByte(1000)) break;
    ms.push_back(MillisecondsBetween(start, Clock::now()));
  }
  if (device >= 0) ::close(device);
  return Summarise(ms);
}

int RunPty() {
  const Summary s = PtyRoundTrip(2000);
  PrintSummary("bare pty round trip", s);
  JsonLine("pty_round_trip").Text("unit", "ms").Samples("", s).Print();
  return 0;
}

std::size_t CountSpoolFiles(const std::string& directory) {
  std::size_t count = 0;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory, error)) {
    if (IsSpoolFileName(entry.path().filename().string(), "")) ++count;
  }
  return count;
}

// With the server down every record is written to a spool file on the driver's main thread,
// between one frame's reply and the next frame's poll.
int RunLatencyWhileSpooling(const Options& options) {
  Rig rig(options);
  rig.StartDriver(options);
  rig.WaitReady(false);

  std::mt19937 random(20240131);
  std::uniform_int_distribution<int> gapUs(0, 10000);
  std::vector<double> replyMs;
  int lostReplies = 0, badReplies = 0;
  for (int i = 0; i < options.frames; ++i) {
    const std::vector<uint8_t> frame =
        bench::EncodeStationFrame(bench::ReportMessageBytes(static_cast<uint16_t>(i % 9999 + 1)));
    std::this_thread::sleep_for(std::chrono::microseconds(gapUs(random)));
    const Clock::time_point sent = Clock::now();
    if (!rig.line.Write(frame)) rig.Abandon("cannot write to the station line");
    const std::optional<uint8_t> reply = rig.line.ReadByte(2000);
    if (!reply) {
      ++lostReplies;
      continue;
    }
    if (*reply != kReplyAccepted) ++badReplies;
    replyMs.push_back(MillisecondsBetween(sent, Clock::now()));
  }
  // The last record's file may still be on its way when the last reply arrives.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const std::string exit = rig.driver->Stop();
  const std::size_t spooled = CountSpoolFiles(rig.spoolDirectory);

  const Summary reply = Summarise(replyMs);
  PrintSummary("reply byte while spooling", reply);
  std::fprintf(stderr, "lost replies %d, wrong replies %d, spool files %zu; %s\n", lostReplies,
               badReplies, spooled, exit.c_str());
  JsonLine("reply_latency_spooling")
      .Text("unit", "ms")
      .Samples("", reply)
      .Number("frames", options.frames)
      .Number("lost", lostReplies)
      .Number("wrong", badReplies)
      .Number("spool_files", static_cast<double>(spooled))
      .Raw("histogram", HistogramJson(replyMs))
      .Print();
  const bool complete = spooled == static_cast<std::size_t>(options.frames);
  return lostReplies + badReplies == 0 && complete ? 0 : 1;
}

// A kind of frame the latency run sends, and the names of its figures.
struct FrameKind {
  std::vector<uint8_t> (*decoded)(uint16_t object);
  int objects;  // object numbers cycle through 1..objects
  std::size_t recordsPerFrame;
  const char* replyLabel;
  const char* serverLabel;
  const char* replyMeasure;
  const char* serverMeasure;
};

// Report frames give one record each. Block messages give 16 zone records: the reply waits for
// the main thread, which may still be handing the previous frame's records over; frame to
// server is timed to the frame's last record.
std::vector<uint8_t> ReportFrameBytes(uint16_t object) {
  return bench::ReportMessageBytes(object);
}

constexpr FrameKind kReportFrames{
    &ReportFrameBytes, 9999,         1, "reply byte", "frame to record at server",
    "reply_latency",   "e2e_latency"};
constexpr FrameKind kBlockFrames{&bench::SixteenZoneBlockMessageBytes,
                                 4096,
                                 16,
                                 "block frame reply byte",
                                 "block frame to last record",
                                 "block_reply_latency",
                                 "block_e2e_latency"};

int RunLatency(const Options& options) {
  if (options.serverDown) return RunLatencyWhileSpooling(options);
  const FrameKind& kind = options.block ? kBlockFrames : kReportFrames;
  Rig rig(options);
  rig.StartDriver(options);
  rig.WaitReady();

  std::mt19937 random(20240131);
  // The station's frames come at any moment: a gap of up to ten milliseconds between them.
  std::uniform_int_distribution<int> gapUs(0, 10000);
  std::vector<double> replyMs, serverMs;
  int lostReplies = 0, badReplies = 0, lostRecords = 0, wrongRecords = 0;
  for (int i = 0; i < options.frames; ++i) {
    const auto object = static_cast<uint16_t>(i % kind.objects + 1);
    const std::vector<uint8_t> frame = bench::EncodeStationFrame(kind.decoded(object));
    std::this_thread::sleep_for(std::chrono::microseconds(gapUs(random)));
    const Clock::time_point sent = Clock::now();
    if (!rig.line.Write(frame)) rig.Abandon("cannot write to the station line");
    const std::optional<uint8_t> reply = rig.line.ReadByte(2000);
    const Clock::time_point replied = Clock::now();
    if (!reply) {
      ++lostReplies;
    } else {
      if (*reply != kReplyAccepted) ++badReplies;
      replyMs.push_back(MillisecondsBetween(sent, replied));
    }
    std::optional<Clock::time_point> lastAt;
    for (std::size_t r = 0; r < kind.recordsPerFrame; ++r) {
      const std::optional<ReceivedRecord> record = rig.server.WaitRecord(3000);
      if (!record) {
        ++lostRecords;
        lastAt.reset();
        break;
      }
      const std::optional<EventRecord> parsed = ParseEventRecord(record->bytes);
      if (!parsed || parsed->ObjectNumber % 10000 != object) ++wrongRecords;
      lastAt = record->at;
    }
    if (lastAt) serverMs.push_back(MillisecondsBetween(sent, *lastAt));
    if (lostReplies + lostRecords > 50) rig.Abandon("too many frames lost");
  }
  const std::string exit = rig.driver->Stop();

  const Summary reply = Summarise(replyMs);
  const Summary server = Summarise(serverMs);
  PrintSummary(kind.replyLabel, reply);
  PrintSummary(kind.serverLabel, server);
  std::fprintf(stderr, "lost replies %d, wrong replies %d, lost records %d, wrong records %d; %s\n",
               lostReplies, badReplies, lostRecords, wrongRecords, exit.c_str());
  JsonLine(kind.replyMeasure)
      .Text("unit", "ms")
      .Samples("", reply)
      .Number("frames", options.frames)
      .Number("lost", lostReplies)
      .Number("wrong", badReplies)
      .Raw("histogram", HistogramJson(replyMs))
      .Print();
  JsonLine(kind.serverMeasure)
      .Text("unit", "ms")
      .Samples("", server)
      .Number("frames", options.frames)
      .Number("records_per_frame", static_cast<double>(kind.recordsPerFrame))
      .Number("lost", lostRecords)
      .Number("wrong", wrongRecords)
      .Raw("histogram", HistogramJson(serverMs))
      .Print();
  return lostReplies + badReplies + lostRecords + wrongRecords == 0 ? 0 : 1;
}

// The processor share over an idle window from the scheduler's run times, in all and for the
// main thread (the port, the ticks and the window) against the others (the session's); -1 each
// where the kernel keeps no run times.
struct IdleRunShare {
  double totalPercent = -1, mainPercent = -1, otherPercent = -1;
};

IdleRunShare RunShare(pid_t mainThread, const std::map<pid_t, double>& before,
                      const std::map<pid_t, double>& after, double elapsedSeconds) {
  if (after.empty() || elapsedSeconds <= 0) return {};
  double mainSeconds = 0, otherSeconds = 0;
  for (const auto& [thread, seconds] : after) {
    const auto earlier = before.find(thread);
    const double used = seconds - (earlier == before.end() ? 0.0 : earlier->second);
    (thread == mainThread ? mainSeconds : otherSeconds) += used;
  }
  const double scale = 100.0 / elapsedSeconds;
  return {(mainSeconds + otherSeconds) * scale, mainSeconds * scale, otherSeconds * scale};
}

int RunIdle(const Options& options) {
  Rig rig(options);
  rig.StartDriver(options);
  rig.WaitReady();
  std::this_thread::sleep_for(std::chrono::seconds(2));

  DriverProcess& driver = *rig.driver;
  const std::size_t pollsBefore = rig.server.PollCount();
  const std::optional<double> cpuBefore = driver.CpuSeconds();
  const std::map<pid_t, double> threadsBefore = driver.ThreadCpuSeconds();
  const std::map<pid_t, double> runBefore = driver.ThreadRunSeconds();
  const std::map<pid_t, long> wakeupsBefore = driver.ThreadWakeups();
  const Clock::time_point start = Clock::now();
  long rssMaxKb = 0;
  const Clock::time_point end = start + std::chrono::seconds(options.seconds);
  while (Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    rssMaxKb = std::max(rssMaxKb, driver.StatusKb("VmRSS").value_or(0));
  }
  const std::optional<double> cpuAfter = driver.CpuSeconds();
  const std::map<pid_t, double> threadsAfter = driver.ThreadCpuSeconds();
  const std::map<pid_t, double> runAfter = driver.ThreadRunSeconds();
  const std::map<pid_t, long> wakeupsAfter = driver.ThreadWakeups();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const long rssKb = driver.StatusKb("VmRSS").value_or(0);
  const long hwmKb = driver.StatusKb("VmHWM").value_or(0);
  const long threads = driver.StatusKb("Threads").value_or(0);
  const std::size_t polls = rig.server.PollCount() - pollsBefore;
  if (!cpuBefore || !cpuAfter || !driver.Running())
    rig.Abandon("the driver ended during the window");
  const std::string exit = driver.Stop();

  const double cpuSeconds = *cpuAfter - *cpuBefore;
  const double share = 100.0 * cpuSeconds / elapsed;
  // The main thread runs the port's poll timer and the window; the others are the session's.
  double mainSeconds = 0, otherSeconds = 0;
  for (const auto& [thread, after] : threadsAfter) {
    const auto before = threadsBefore.find(thread);
    const double used = after - (before == threadsBefore.end() ? 0.0 : before->second);
    (thread == driver.Pid() ? mainSeconds : otherSeconds) += used;
  }
  const IdleRunShare run = RunShare(driver.Pid(), runBefore, runAfter, elapsed);
  double mainWakeups = 0, otherWakeups = 0;
  for (const auto& [thread, after] : wakeupsAfter) {
    const auto before = wakeupsBefore.find(thread);
    const long count = after - (before == wakeupsBefore.end() ? 0 : before->second);
    (thread == driver.Pid() ? mainWakeups : otherWakeups) += static_cast<double>(count);
  }
  std::fprintf(stderr,
               "main thread %.3f %% (%.0f wake-ups/s), other threads %.3f %% (%.0f wake-ups/s) "
               "of one core\n",
               100.0 * mainSeconds / elapsed, mainWakeups / elapsed, 100.0 * otherSeconds / elapsed,
               otherWakeups / elapsed);
  if (run.totalPercent >= 0) {
    std::fprintf(stderr, "run times: %.3f %% of one core (main thread %.3f %%, others %.3f %%)\n",
                 run.totalPercent, run.mainPercent, run.otherPercent);
  }
  std::fprintf(stderr,
               "idle %.1f s: cpu %.3f s = %.3f %% of one core; VmRSS %ld kB (max %ld, HWM %ld), "
               "%ld threads, %zu polls answered; %s\n",
               elapsed, cpuSeconds, share, rssKb, rssMaxKb, hwmKb, threads, polls, exit.c_str());
  JsonLine("idle")
      .Number("seconds", elapsed)
      .Number("cpu_seconds", cpuSeconds)
      .Number("cpu_percent", share)
      .Number("main_thread_cpu_percent", 100.0 * mainSeconds / elapsed)
      .Number("other_threads_cpu_percent", 100.0 * otherSeconds / elapsed)
      .Number("main_thread_wakeups_per_second", mainWakeups / elapsed)
      .Number("other_threads_wakeups_per_second", otherWakeups / elapsed)
      .Number("run_percent", run.totalPercent)
      .Number("main_thread_run_percent", run.mainPercent)
      .Number("other_threads_run_percent", run.otherPercent)
      .Number("clock_ticks_per_second", static_cast<double>(::sysconf(_SC_CLK_TCK)))
      .Number("rss_kb", static_cast<double>(rssKb))
      .Number("rss_max_kb", static_cast<double>(rssMaxKb))
      .Number("hwm_kb", static_cast<double>(hwmKb))
      .Number("threads", static_cast<double>(threads))
      .Number("polls", static_cast<double>(polls))
      .Print();
  return 0;
}

// Files as an outage leaves them: one record each (object 50000 + i), named by the millisecond
// of the month, the names running on through the month's milliseconds.
void WriteBacklog(Rig& rig, int files) {
  for (int i = 0; i < files; ++i) {
    EventRecord record;
    record.ObjectNumber = i % 9999 + 1;
    record.SetEventCode("30");
    record.EventTime = 45000.0 + i * kOneSecond;
    const std::vector<uint8_t> bytes = SpoolFileBytes(SerializeEventRecord(record, 50000 + i));
    char name[32];
    std::snprintf(name, sizeof name, "%X.dd8", 0x5265C00u + static_cast<unsigned>(i) * 2u);
    const int fd = ::open((rig.spoolDirectory + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      rig.Abandon("cannot write the spool files");
    }
    ::close(fd);
  }
  ::sync();
}

int RunDrain(const Options& options) {
  Rig rig(options);
  WriteBacklog(rig, options.files);

  rig.StartDriver(options);
  if (!rig.server.WaitAccepted(30000)) rig.Abandon("the driver did not introduce itself");
  const Clock::time_point accepted = *rig.server.AcceptedAt();
  const Clock::time_point deadline =
      accepted + std::chrono::milliseconds(options.files * 1000L) + std::chrono::seconds(60);
  std::size_t left = CountSpoolFiles(rig.spoolDirectory);
  Clock::time_point lastProgress = Clock::now();
  std::size_t lastLeft = left;
  while (left > 0) {
    if (Clock::now() > deadline) rig.Abandon("the spool did not drain in time");
    if (!rig.driver->Running()) rig.Abandon("the driver ended while draining");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    left = CountSpoolFiles(rig.spoolDirectory);
    if (left != lastLeft) {
      lastLeft = left;
      lastProgress = Clock::now();
    }
    if (Clock::now() - lastProgress > std::chrono::seconds(30)) {
      rig.Abandon("the spool stopped draining with " + std::to_string(left) + " files left");
    }
  }
  const Clock::time_point empty = Clock::now();
  const std::size_t records = rig.server.RecordCount();
  const std::string exit = rig.driver->Stop();

  // The order the server got them in: that of the files' names, a record sent twice following
  // its first copy.
  std::vector<int32_t> objects;
  while (const std::optional<ReceivedRecord> record = rig.server.WaitRecord(0)) {
    const std::optional<EventRecord> parsed = ParseEventRecord(record->bytes);
    const int32_t object = parsed ? parsed->ObjectNumber : -1;
    if (objects.empty() || objects.back() != object) objects.push_back(object);
  }
  bool inOrder = objects.size() == static_cast<std::size_t>(options.files);
  for (std::size_t i = 0; inOrder && i < objects.size(); ++i) {
    inOrder = objects[i] == 50000 + static_cast<int32_t>(i);
  }

  const double fromAccepted = std::chrono::duration<double>(empty - accepted).count();
  const double fromStart = std::chrono::duration<double>(empty - rig.driver->StartedAt()).count();
  const double perSecond = options.files / fromAccepted;
  std::fprintf(stderr,
               "drain of %d files: %.2f s after the accept (%.2f s after the start), %.0f records "
               "per second; the server took %zu records, %s; %s\n",
               options.files, fromAccepted, fromStart, perSecond, records,
               inOrder ? "in order" : "OUT OF ORDER", exit.c_str());
  JsonLine("drain")
      .Number("files", options.files)
      .Number("seconds_from_accept", fromAccepted)
      .Number("seconds_from_start", fromStart)
      .Number("records_per_second", perSecond)
      .Number("records_received", static_cast<double>(records))
      .Number("in_order", inOrder ? 1 : 0)
      .Print();
  return records >= static_cast<std::size_t>(options.files) && inOrder ? 0 : 1;
}

// A station whose driver starts on a large backlog: how soon its frames are answered, what the
// backlog costs in memory, and how fast it drains at that size.
int RunBacklog(const Options& options) {
  Rig rig(options, /*keepRecords=*/false);
  std::fprintf(stderr, "writing %d spool files\n", options.files);
  WriteBacklog(rig, options.files);

  rig.StartDriver(options);
  // Frames from the start on, as a station that has waited would send them.
  const std::vector<uint8_t> empty = {kFrameStartByte, 0x03};
  std::optional<Clock::time_point> firstReply;
  while (!firstReply) {
    if (!rig.driver->Running()) rig.Abandon("the driver ended at start-up");
    if (Clock::now() - rig.driver->StartedAt() > std::chrono::seconds(60)) {
      rig.Abandon("no reply within a minute of the start");
    }
    rig.line.Write(empty);
    if (rig.line.ReadByte(20)) firstReply = Clock::now();
  }
  // The backlog is queued once the first record reaches the server.
  const Clock::time_point bound = Clock::now() + std::chrono::seconds(120);
  while (rig.server.RecordCount() == 0) {
    if (Clock::now() > bound) rig.Abandon("no record reached the server within two minutes");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const Clock::time_point firstRecord = Clock::now();
  // The drain at this size, over a window of a few seconds.
  constexpr int kWindowSeconds = 10;
  const std::size_t before = rig.server.RecordCount();
  const Clock::time_point windowStart = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(kWindowSeconds));
  const std::size_t drained = rig.server.RecordCount() - before;
  const double windowSeconds =
      std::chrono::duration<double>(Clock::now() - windowStart).count();
  const long rssKb = rig.driver->StatusKb("VmRSS").value_or(-1);
  const long peakKb = rig.driver->StatusKb("VmHWM").value_or(-1);
  const std::string exit = rig.driver->Stop();

  const double replyMs = MillisecondsBetween(rig.driver->StartedAt(), *firstReply);
  const double recordSeconds =
      std::chrono::duration<double>(firstRecord - rig.driver->StartedAt()).count();
  const double perSecond = static_cast<double>(drained) / windowSeconds;
  std::fprintf(stderr,
               "backlog of %d files: first reply %.0f ms after the start, first record at the "
               "server after %.2f s, %.0f records/s while draining, resident %ld kB (peak %ld "
               "kB); %s\n",
               options.files, replyMs, recordSeconds, perSecond, rssKb, peakKb, exit.c_str());
  JsonLine("backlog")
      .Number("files", options.files)
      .Number("first_reply_ms", replyMs)
      .Number("first_record_s", recordSeconds)
      .Number("records_per_second", perSecond)
      .Number("rss_kb", static_cast<double>(rssKb))
      .Number("peak_rss_kb", static_cast<double>(peakKb))
      .Print();
  return drained > 0 ? 0 : 1;
}

}  // namespace
}  // namespace drv::harness

int main(int argc, char** argv) {
  using namespace drv::harness;
  const Options options = ParseOptions(argc, argv);
  try {
    if (options.command == "pty") return RunPty();
    if (options.command == "latency") return RunLatency(options);
    if (options.command == "idle") return RunIdle(options);
    if (options.command == "backlog") return RunBacklog(options);
    return RunDrain(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "drvtirval-harness: %s\n", error.what());
    return 1;
  }
}
