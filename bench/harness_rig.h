#pragma once

// The pieces the harness puts around the real driver: a station on a pseudo-terminal pair, a
// loopback message server that accepts the driver and acknowledges its records, the driver
// process in a scratch working directory, and the clock they all share.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace drv::harness {

using Clock = std::chrono::steady_clock;

inline double MillisecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// The station's end of a pseudo-terminal pair; the driver opens the other end by its path.
class StationLine {
 public:
  StationLine();
  ~StationLine();
  StationLine(const StationLine&) = delete;
  StationLine& operator=(const StationLine&) = delete;

  const std::string& DevicePath() const { return devicePath_; }
  bool Write(std::span<const uint8_t> bytes);
  // The next byte from the driver, or nullopt after timeoutMs.
  std::optional<uint8_t> ReadByte(int timeoutMs);
  // Drops whatever the driver has sent and not been read.
  void DiscardInput();

 private:
  int station_ = -1;
  // Held open so that the line never hangs up while the driver reopens its end.
  int device_ = -1;
  std::string devicePath_;
};

struct ReceivedRecord {
  Clock::time_point at;
  std::vector<uint8_t> bytes;  // the 27 record bytes
};

// A message server on 127.0.0.1 that accepts the driver: MsgAccepted to the introduction,
// MsgEventAck to every record, MsgPoll to everything else.
class LoopbackServer {
 public:
  LoopbackServer();
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int Port() const { return port_; }
  // Waits until the driver has been accepted on a connection; false after timeoutMs.
  bool WaitAccepted(int timeoutMs);
  std::optional<Clock::time_point> AcceptedAt() const;
  // Whether the last port state the driver reported said its port was open.
  bool PortReportedOpen() const { return portOpen_.load(); }
  // The next record in arrival order, or nullopt after timeoutMs.
  std::optional<ReceivedRecord> WaitRecord(int timeoutMs);
  std::size_t RecordCount() const { return recordCount_.load(); }
  std::size_t PollCount() const { return pollCount_.load(); }
  std::size_t ConnectionCount() const { return connectionCount_.load(); }
  // Records are counted but not kept for WaitRecord (long drains).
  void KeepRecords(bool keep) { keepRecords_ = keep; }

 private:
  void Run();
  void Serve(int socket);

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> activeSocket_{-1};
  std::atomic<bool> portOpen_{false};
  std::atomic<std::size_t> recordCount_{0};
  std::atomic<std::size_t> pollCount_{0};
  std::atomic<std::size_t> connectionCount_{0};
  std::atomic<bool> keepRecords_{true};
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Clock::time_point> acceptedAt_;
  std::deque<ReceivedRecord> records_;
  std::thread thread_;
};

// A loopback port that refuses every connection: a message server that is down.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  int Port() const { return port_; }

 private:
  int socket_ = -1;
  int port_ = 0;
};

// A scratch working directory, removed at the end unless kept for a look after a failure.
class WorkDirectory {
 public:
  explicit WorkDirectory(const std::string& base);
  ~WorkDirectory();
  WorkDirectory(const WorkDirectory&) = delete;
  WorkDirectory& operator=(const WorkDirectory&) = delete;
  const std::string& Path() const { return path_; }
  void Keep() { keep_ = true; }

 private:
  std::string path_;
  bool keep_ = false;
};

struct DriverConfig {
  std::string devicePath;
  int serverPort = 0;
  std::string spoolDirectory;  // ends with "/"
  bool frameLog = false;
};

// Writes drvtirval2000n.ini for the driver: port COM1 on the station's pty, the loopback server.
void WriteDriverSettings(const std::string& workDirectory, const DriverConfig& config);

// The driver program, headless, in its working directory.
class DriverProcess {
 public:
  DriverProcess(const std::string& program, const std::string& workDirectory);
  ~DriverProcess();
  DriverProcess(const DriverProcess&) = delete;
  DriverProcess& operator=(const DriverProcess&) = delete;

  pid_t Pid() const { return pid_; }
  bool Running();
  Clock::time_point StartedAt() const { return startedAt_; }
  // utime + stime of all its threads, in seconds.
  std::optional<double> CpuSeconds() const;
  // utime + stime of each thread by thread id, in seconds; the main thread's id is Pid().
  std::map<pid_t, double> ThreadCpuSeconds() const;
  // Time each thread has run on a processor, in seconds, from the scheduler's nanosecond count
  // (/proc/<pid>/task/<tid>/schedstat); empty where the kernel keeps none. utime and stime come
  // in clock ticks of 10 ms, too coarse for an idle share of a tenth of a percent.
  std::map<pid_t, double> ThreadRunSeconds() const;
  // Voluntary context switches of each thread (each one a wake-up from a sleep or a wait).
  std::map<pid_t, long> ThreadWakeups() const;
  // A "Vm..." line of /proc/<pid>/status in kB.
  std::optional<long> StatusKb(const char* field) const;
  // Asks it to end (SIGTERM) and waits; SIGKILL after the grace time. The exit status text.
  std::string Stop();

 private:
  pid_t pid_ = -1;
  Clock::time_point startedAt_;
  std::string exitText_;
};

// utime + stime, in seconds, from a /proc/<pid>/stat or /proc/<pid>/task/<tid>/stat file.
std::optional<double> CpuSecondsOf(const std::string& statPath);

// The output the driver left in its working directory, for a failure report.
std::string DriverLogTail(const std::string& workDirectory);

// Numbers for a set of samples.
struct Summary {
  std::size_t count = 0;
  double p50 = 0, p90 = 0, p99 = 0, max = 0, min = 0, mean = 0;
};
Summary Summarise(std::vector<double> samples);

}  // namespace drv::harness
