#include "bench/harness_rig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>
#include <stdexcept>

#include "base/clock.h"
#include "delivery/connection.h"
#include "delivery/message_types.h"
#include "delivery/protocol.h"

namespace drv::harness {
namespace {

namespace fs = std::filesystem;

// The whole of a small file (a /proc entry, a log); empty when it cannot be read.
std::string ReadWholeFile(const std::string& path) {
  std::string text;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// The server's side of an accepted connection.
class AcceptedConnection final : public IConnection {
 public:
  explicit AcceptedConnection(int socket) : socket_(socket) {}
  bool Connect(const std::string&, int, int) override { return false; }
  bool Write(std::span<const uint8_t> bytes) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::send(socket_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  int ReadSome(uint8_t* buffer, std::size_t size, int idleTimeoutMs) override {
    pollfd p{socket_, POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&p, 1, idleTimeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) return 0;
    if (ready < 0) return -1;
    const ssize_t n = ::recv(socket_, buffer, size, 0);
    return n > 0 ? static_cast<int>(n) : -1;
  }
  void Close() override {}
  bool IsConnected() const override { return true; }
  void Abort() override { ::shutdown(socket_, SHUT_RDWR); }

 private:
  int socket_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------

StationLine::StationLine() {
  char name[256] = {};
  if (::openpty(&station_, &device_, name, nullptr, nullptr) != 0) Fail("openpty");
  devicePath_ = name;
  termios raw{};
  ::tcgetattr(device_, &raw);
  ::cfmakeraw(&raw);
  ::tcsetattr(device_, TCSANOW, &raw);
  ::tcgetattr(station_, &raw);
  ::cfmakeraw(&raw);
  ::tcsetattr(station_, TCSANOW, &raw);
  ::fcntl(station_, F_SETFL, ::fcntl(station_, F_GETFL) | O_NONBLOCK);
}

StationLine::~StationLine() {
  if (station_ >= 0) ::close(station_);
  if (device_ >= 0) ::close(device_);
}

bool StationLine::Write(std::span<const uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(station_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{station_, POLLOUT, 0};
      ::poll(&p, 1, 100);
      continue;
    }
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<uint8_t> StationLine::ReadByte(int timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    uint8_t byte = 0;
    const ssize_t n = ::read(station_, &byte, 1);
    if (n == 1) return byte;
    if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) return std::nullopt;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{station_, POLLIN, 0};
    // EIO while the driver has its end closed: wait a little instead of spinning.
    ::poll(&p, 1,
           n < 0 && errno == EIO ? std::min<int>(10, static_cast<int>(left.count()))
                                 : static_cast<int>(left.count()));
  }
}

void StationLine::DiscardInput() {
  uint8_t buffer[256];
  while (::read(station_, buffer, sizeof buffer) > 0) {
  }
}

// ---------------------------------------------------------------------------------------------

LoopbackServer::LoopbackServer() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) Fail("socket");
  const int on = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) Fail("bind");
  if (::listen(listener_, 4) != 0) Fail("listen");
  socklen_t length = sizeof address;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

LoopbackServer::~LoopbackServer() {
  stop_ = true;
  const int active = activeSocket_.load();
  if (active >= 0) ::shutdown(active, SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
  ::close(listener_);
}

void LoopbackServer::Run() {
  while (!stop_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const int socket = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (socket < 0) continue;
    const int on = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ++connectionCount_;
    activeSocket_ = socket;
    if (!stop_) Serve(socket);
    activeSocket_ = -1;
    ::close(socket);
  }
}

void LoopbackServer::Serve(int socket) {
  AcceptedConnection connection(socket);
  SystemClock clock;
  int64_t number = 0;
  while (!stop_) {
    const FrameReadResult frame = ReadFrame(connection, clock);
    if (frame.status == FrameReadStatus::kTimedOut) continue;
    if (!frame.Ok()) return;
    const Clock::time_point at = Clock::now();
    const std::optional<DecodedMessage> message = DecodeMessage(frame.body);
    uint32_t answer = MsgPoll;
    if (message) {
      switch (message->type) {
        case MsgIntroduction:
          answer = MsgAccepted;
          break;
        case MsgPortState:
          if (message->payload.size() >= 8) portOpen_ = message->payload[7] == 1;
          break;
        case MsgEventRecord:
          answer = MsgEventAck;
          ++recordCount_;
          if (keepRecords_) {
            std::lock_guard lock(mutex_);
            records_.push_back({at, message->payload});
          }
          changed_.notify_all();
          break;
        case MsgPoll:
          ++pollCount_;
          break;
        default:
          break;
      }
    }
    if (!WriteFrame(connection, BuildMessage(answer, number++, {}))) return;
    if (answer == MsgAccepted) {
      {
        std::lock_guard lock(mutex_);
        acceptedAt_ = Clock::now();
      }
      changed_.notify_all();
    }
  }
}

bool LoopbackServer::WaitAccepted(int timeoutMs) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return acceptedAt_.has_value(); });
}

std::optional<Clock::time_point> LoopbackServer::AcceptedAt() const {
  std::lock_guard lock(mutex_);
  return acceptedAt_;
}

std::optional<ReceivedRecord> LoopbackServer::WaitRecord(int timeoutMs) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [this] { return !records_.empty(); })) {
    return std::nullopt;
  }
  ReceivedRecord record = std::move(records_.front());
  records_.pop_front();
  return record;
}

// ---------------------------------------------------------------------------------------------

RefusingPort::RefusingPort() {
  // Bound and never listening: the port stays ours, and a connect to it is refused at once.
  socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) Fail("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) Fail("bind");
  socklen_t length = sizeof address;
  ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort() {
  ::close(socket_);
}

// ---------------------------------------------------------------------------------------------

WorkDirectory::WorkDirectory(const std::string& base) {
  fs::create_directories(base);
  std::string pattern = (fs::path(base) / "drv-harness-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) Fail("mkdtemp " + pattern);
  path_ = pattern;
}

WorkDirectory::~WorkDirectory() {
  if (keep_) {
    std::fprintf(stderr, "work directory kept: %s\n", path_.c_str());
    return;
  }
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void WriteDriverSettings(const std::string& workDirectory, const DriverConfig& config) {
  std::ofstream file(fs::path(workDirectory) / "drvtirval2000n.ini", std::ios::binary);
  file << "[main]\r\n"
       << "ComPort=COM1\r\n"
       << "BaudRate=115200\r\n"
       << "FirstNumber=4\r\n"
       << "PathForSoob=" << config.spoolDirectory << "\r\n"
       << "Attention=00:01:00\r\n"
       << "Log=" << (config.frameLog ? 1 : 0) << "\r\n"
       << "SendTorven7=0\r\n"
       << "SendTorven8=1\r\n"
       << "\r\n[ServerHost]\r\n"
       << "Address=127.0.0.1\r\n"
       << "Port=" << config.serverPort << "\r\n"
       << "\r\n[Devices]\r\n"
       << "COM1=" << config.devicePath << "\r\n";
  if (!file) throw std::runtime_error("cannot write the settings file in " + workDirectory);
}

// ---------------------------------------------------------------------------------------------

DriverProcess::DriverProcess(const std::string& program, const std::string& workDirectory) {
  const std::string logPath = (fs::path(workDirectory) / "driver-output.txt").string();
  startedAt_ = Clock::now();
  pid_ = ::fork();
  if (pid_ < 0) Fail("fork");
  if (pid_ == 0) {
    if (::chdir(workDirectory.c_str()) != 0) ::_exit(126);
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (log >= 0) {
      ::dup2(log, STDOUT_FILENO);
      ::dup2(log, STDERR_FILENO);
      ::close(log);
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
    ::execv(program.c_str(), argv);
    ::_exit(127);
  }
}

DriverProcess::~DriverProcess() {
  if (pid_ > 0 && exitText_.empty()) Stop();
}

bool DriverProcess::Running() {
  if (!exitText_.empty()) return false;
  int status = 0;
  const pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done == pid_) {
    exitText_ = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                  : "signal " + std::to_string(WTERMSIG(status));
    return false;
  }
  return true;
}

std::optional<double> DriverProcess::CpuSeconds() const {
  return CpuSecondsOf("/proc/" + std::to_string(pid_) + "/stat");
}

std::map<pid_t, double> DriverProcess::ThreadCpuSeconds() const {
  std::map<pid_t, double> threads;
  std::error_code error;
  for (const auto& entry :
       fs::directory_iterator("/proc/" + std::to_string(pid_) + "/task", error)) {
    const std::string id = entry.path().filename().string();
    if (const auto seconds = CpuSecondsOf(entry.path().string() + "/stat")) {
      threads[static_cast<pid_t>(std::stol(id))] = *seconds;
    }
  }
  return threads;
}

std::map<pid_t, double> DriverProcess::ThreadRunSeconds() const {
  std::map<pid_t, double> threads;
  std::error_code error;
  for (const auto& entry :
       fs::directory_iterator("/proc/" + std::to_string(pid_) + "/task", error)) {
    std::istringstream schedstat(ReadWholeFile(entry.path().string() + "/schedstat"));
    unsigned long long runNs = 0;
    if (schedstat >> runNs) {
      threads[static_cast<pid_t>(std::stol(entry.path().filename().string()))] =
          static_cast<double>(runNs) / 1e9;
    }
  }
  return threads;
}

std::map<pid_t, long> DriverProcess::ThreadWakeups() const {
  std::map<pid_t, long> threads;
  std::error_code error;
  for (const auto& entry :
       fs::directory_iterator("/proc/" + std::to_string(pid_) + "/task", error)) {
    std::istringstream status(ReadWholeFile(entry.path().string() + "/status"));
    std::string line;
    const std::string prefix = "voluntary_ctxt_switches:";
    while (std::getline(status, line)) {
      if (line.rfind(prefix, 0) == 0) {
        threads[static_cast<pid_t>(std::stol(entry.path().filename().string()))] =
            std::stol(line.substr(prefix.size()));
      }
    }
  }
  return threads;
}

std::optional<double> CpuSecondsOf(const std::string& statPath) {
  const std::string text = ReadWholeFile(statPath);
  // The command name may hold blanks and brackets; the fields follow the last ')'.
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // Field 3 (state) is the first after the name; utime is field 14 and stime field 15.
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) utime = std::stoull(field);
    if (index == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::optional<long> DriverProcess::StatusKb(const char* field) const {
  std::istringstream status(ReadWholeFile("/proc/" + std::to_string(pid_) + "/status"));
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
  }
  return std::nullopt;
}

std::string DriverProcess::Stop() {
  if (!Running()) return exitText_;
  ::kill(pid_, SIGTERM);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
  while (Running()) {
    if (Clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      exitText_ = "killed after no exit on SIGTERM";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return exitText_;
}

std::string DriverLogTail(const std::string& workDirectory) {
  std::string text = ReadWholeFile((fs::path(workDirectory) / "driver-output.txt").string());
  if (text.size() > 2000) text = "..." + text.substr(text.size() - 2000);
  return text;
}

// ---------------------------------------------------------------------------------------------

Summary Summarise(std::vector<double> samples) {
  Summary s;
  s.count = samples.size();
  if (samples.empty()) return s;
  std::sort(samples.begin(), samples.end());
  // Nearest rank: the smallest sample with at least q of the samples at or below it.
  const auto rank = [&](double q) {
    const auto n = static_cast<double>(samples.size());
    const auto index = static_cast<std::size_t>(std::max(1.0, std::ceil(q * n))) - 1;
    return samples[std::min(index, samples.size() - 1)];
  };
  s.min = samples.front();
  s.p50 = rank(0.50);
  s.p90 = rank(0.90);
  s.p99 = rank(0.99);
  s.max = samples.back();
  s.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(s.count);
  return s;
}

}  // namespace drv::harness
