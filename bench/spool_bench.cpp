// Spool costs on the real file system: the durable store of a frame's records, the
// acknowledgement and next record while a backlog drains, and loading a backlog at start-up.

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
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "bench/bench_support.h"
#include "delivery/event_spool.h"
#include "delivery/message_types.h"

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
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

const fs::path& SpoolRoot() {
  static const SpoolRootDirectory root;
  return root.Path();
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

// Start-up as the driver does it, and the ticks until the files found are queued.
void StartAndLoad(EventSpool& spool) {
  spool.Start();
  while (!spool.BacklogLoaded()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    spool.OnTick();
  }
}

void SetPercentileCounters(benchmark::State& state, const std::vector<double>& samplesUs) {
  const Percentiles p = Summarise(samplesUs);
  state.counters["p50_us"] = p.p50;
  state.counters["p99_us"] = p.p99;
  state.counters["max_us"] = p.max;
}

// The records of one frame stored as the driver stores them before it answers the station:
// each written to a file of its own, the batch flushed together, the names flushed once.
void BM_StoreFrame(benchmark::State& state) {
  const auto recordsPerFrame = static_cast<std::size_t>(state.range(0));
  const bool oneByOne = state.range(1) != 0;
  const fs::path directory = SpoolRoot() / "writes";
  fs::remove_all(directory);
  fs::create_directories(directory);
  SystemClock clock;
  EventSpool spool(clock, directory.string() + "/", true, [](int) {});
  StartAndLoad(spool);
  const std::vector<EventRecordBytes> frame(recordsPerFrame, SampleRecord());
  std::vector<double> samplesUs;
  samplesUs.reserve(static_cast<std::size_t>(state.max_iterations));

  for (auto _ : state) {
    const auto start = Clock::now();
    if (oneByOne) {
      for (const EventRecordBytes& record : frame) spool.StoreEventRecords({&record, 1});
    } else {
      spool.StoreEventRecords(frame);
    }
    const auto stop = Clock::now();
    const double seconds = std::chrono::duration<double>(stop - start).count();
    state.SetIterationTime(seconds);
    samplesUs.push_back(seconds * 1e6);
    // The server's acknowledgements, outside the timing, keep the directory small.
    state.PauseTiming();
    while (const auto oldest = spool.Oldest()) spool.Acknowledge(oldest->id);
    spool.SettleDeletions();
    state.ResumeTiming();
  }
  if (spool.RecordsHeldInMemory() != 0) state.SkipWithError("a spool write failed");
  fs::remove_all(directory);
  state.counters["records"] = static_cast<double>(recordsPerFrame);
  SetPercentileCounters(state, samplesUs);
}
// Repeated because the disk is shared: one run can land in another process's burst of writes.
BENCHMARK(BM_StoreFrame)
    ->ArgNames({"records", "one_by_one"})
    ->Args({1, 0})
    ->Args({16, 0})
    ->Args({16, 1})
    ->Iterations(300)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// What each record costs the session's side of the spool while a backlog drains: the
// acknowledgement deletes the file of the record that was out, and the next one is taken.
void BM_AcknowledgeAndTakeNext(benchmark::State& state) {
  const auto fileCount = static_cast<unsigned>(state.range(0));
  const fs::path directory = SpoolRoot() / ("drain-" + std::to_string(fileCount));
  fs::remove_all(directory);
  fs::create_directories(directory);
  for (unsigned i = 0; i < fileCount; ++i) WriteSpoolFile(directory / SpoolName(i));
  SystemClock clock;
  EventSpool spool(clock, directory.string() + "/", true, [](int) {});
  StartAndLoad(spool);
  std::vector<double> samplesUs;
  samplesUs.reserve(fileCount);
  std::optional<QueuedRecord> out = spool.Oldest();
  for (auto _ : state) {
    if (!out) {
      state.SkipWithError("the backlog ran out");
      break;
    }
    const auto start = Clock::now();
    spool.Acknowledge(out->id);
    out = spool.Oldest();
    const auto stop = Clock::now();
    const double seconds = std::chrono::duration<double>(stop - start).count();
    state.SetIterationTime(seconds);
    samplesUs.push_back(seconds * 1e6);
  }
  // The spool's thread may still be deleting acknowledged files.
  spool.SettleDeletions();
  fs::remove_all(directory);
  SetPercentileCounters(state, samplesUs);
}
BENCHMARK(BM_AcknowledgeAndTakeNext)
    ->Arg(2000)
    ->Iterations(1000)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// Start-up with a spool left from an outage: every file listed, put in order and read.
void BM_LoadBacklog(benchmark::State& state) {
  const auto fileCount = static_cast<unsigned>(state.range(0));
  const fs::path directory = SpoolWithFiles(fileCount);
  SystemClock clock;
  for (auto _ : state) {
    EventSpool spool(clock, directory.string() + "/", true, [](int) {});
    StartAndLoad(spool);
    if (spool.QueuedCount() != fileCount) state.SkipWithError("not every file was queued");
  }
  state.counters["files"] = fileCount;
  state.counters["us_per_file"] = benchmark::Counter(
      static_cast<double>(fileCount) * 1e-6,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_LoadBacklog)
    ->Arg(1000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->Repetitions(3);

}  // namespace
}  // namespace drv::bench
