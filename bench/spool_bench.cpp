// Spool costs on the real file system: one resend step (acknowledgement of the pending file,
// then the search for the next one) against the number of files waiting, and one durable write.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "bench/bench_support.h"
#include "delivery/message_types.h"
#include "delivery/spool.h"

namespace drv::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Spool directories live beside the build (the same disk the driver's spool would use), unless
// DRV_BENCH_SPOOL_DIR names another place. Removed when the process ends.
class SpoolRootDirectory {
 public:
  SpoolRootDirectory() {
    const char* configured = std::getenv("DRV_BENCH_SPOOL_DIR");
    const fs::path base = configured != nullptr ? fs::path(configured) : fs::current_path();
    fs::create_directories(base);
    std::string pattern = (base / "drv-spool-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~SpoolRootDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  SpoolRootDirectory(const SpoolRootDirectory&) = delete;
  SpoolRootDirectory& operator=(const SpoolRootDirectory&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

const fs::path& SpoolRoot() {
  static const SpoolRootDirectory root;
  return root.path();
}

EventRecordBytes SampleRecord() {
  EventRecordBytes record{};
  for (std::size_t i = 0; i < record.size(); ++i) record[i] = static_cast<uint8_t>(i * 7 + 1);
  return record;
}

// Writes a spool file the way the driver's spool leaves it (without the fsync, which only
// matters for a crash and would make setting up 100 000 files take minutes).
void WriteSpoolFile(const fs::path& path) {
  static const std::vector<uint8_t> bytes = SpoolFileBytes(SampleRecord());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    std::perror(path.c_str());
    std::abort();
  }
  ::close(fd);
}

std::string SpoolName(unsigned index) {
  char name[32];
  std::snprintf(name, sizeof name, "%X.dd8", 0x5265C00u + index * 7u);
  return name;
}

// A directory holding `count` spool files, made once per count.
fs::path SpoolWithFiles(unsigned count) {
  static std::map<unsigned, fs::path> made;
  if (auto it = made.find(count); it != made.end()) return it->second;
  const fs::path directory = SpoolRoot() / ("files-" + std::to_string(count));
  fs::create_directories(directory);
  for (unsigned i = 0; i < count; ++i) WriteSpoolFile(directory / SpoolName(i));
  made.emplace(count, directory);
  return directory;
}

struct Percentiles {
  double p50 = 0, p99 = 0, max = 0;
};

Percentiles Summarise(std::vector<double> samples) {
  Percentiles result;
  if (samples.empty()) return result;
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double q) {
    const auto index = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(index, samples.size() - 1)];
  };
  result.p50 = at(0.50);
  result.p99 = at(0.99);
  result.max = samples.back();
  return result;
}

void SetPercentileCounters(benchmark::State& state, const std::vector<double>& samplesUs) {
  const Percentiles p = Summarise(samplesUs);
  state.counters["p50_us"] = p.p50;
  state.counters["p99_us"] = p.p99;
  state.counters["max_us"] = p.max;
}

// One drain cycle as the driver runs it while the server takes records: the acknowledgement
// deletes the file that is out, and the next tick's resend step searches for, reads and queues
// the next one. The deleted file is replaced outside the timing, so the count stays put.
void BM_ResendStep(benchmark::State& state) {
  const auto fileCount = static_cast<unsigned>(state.range(0));
  const fs::path directory = SpoolWithFiles(fileCount);
  SystemClock clock;
  AcceptedSessionLink session;
  EventSpool spool(clock, directory.string() + "/", &session, [](int) {});
  unsigned nextName = fileCount;
  std::vector<double> samplesUs;
  samplesUs.reserve(100000);

  for (auto _ : state) {
    const auto start = Clock::now();
    spool.OnEventAcknowledged();
    spool.ResendStep();
    const auto stop = Clock::now();
    const double seconds = std::chrono::duration<double>(stop - start).count();
    state.SetIterationTime(seconds);
    samplesUs.push_back(seconds * 1e6);
    if (spool.PendingSpoolPath().empty() || session.lastType != MsgEventRecord ||
        session.lastPayloadSize != kEventRecordSize) {
      state.SkipWithError("the resend step queued no spool file");
      break;
    }
    if (samplesUs.size() > 1) WriteSpoolFile(directory / SpoolName(nextName++));
  }
  // The file that is out at the end goes back to the count as well.
  spool.OnEventAcknowledged();
  WriteSpoolFile(directory / SpoolName(nextName++));
  state.counters["files"] = fileCount;
  SetPercentileCounters(state, samplesUs);
}
BENCHMARK(BM_ResendStep)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(100000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(1.0)
    ->Repetitions(3);

// One record written to a new spool file while the server cannot take it: temporary file,
// write, fsync, rename to its spool name, fsync of the directory.
void BM_DurableSpoolWrite(benchmark::State& state) {
  const fs::path directory = SpoolRoot() / "writes";
  fs::remove_all(directory);
  fs::create_directories(directory);
  SystemClock clock;
  AcceptedSessionLink session;
  session.isConnected = false;
  EventSpool spool(clock, directory.string() + "/", &session, [](int) {});
  const EventRecordBytes record = SampleRecord();
  std::vector<double> samplesUs;
  samplesUs.reserve(static_cast<std::size_t>(state.max_iterations));

  for (auto _ : state) {
    const auto start = Clock::now();
    spool.DeliverEventRecord(record);
    const auto stop = Clock::now();
    const double seconds = std::chrono::duration<double>(stop - start).count();
    state.SetIterationTime(seconds);
    samplesUs.push_back(seconds * 1e6);
  }
  if (spool.RecordsHeldInMemory() != 0) state.SkipWithError("a spool write failed");
  const auto written = static_cast<std::size_t>(
      std::count_if(fs::directory_iterator(directory), fs::directory_iterator(),
                    [](const fs::directory_entry& e) { return e.path().extension() == ".dd8"; }));
  if (written != samplesUs.size()) state.SkipWithError("not every record has its own file");
  fs::remove_all(directory);
  SetPercentileCounters(state, samplesUs);
}
// Repeated because the disk is shared: one run can land in another process's burst of writes.
BENCHMARK(BM_DurableSpoolWrite)
    ->Iterations(1000)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace drv::bench
