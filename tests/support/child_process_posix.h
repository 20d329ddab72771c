#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace drv::testing {

// One of the project's programs run by a test: standard output captured line by line, standard
// error left to the test's log. A process still running at destruction is killed.
class ChildProcess {
 public:
  struct Options {
    std::vector<std::string> argv;
    std::string workingDirectory;
    std::vector<std::string> extraEnvironment;  // "NAME=value"
  };

  explicit ChildProcess(const Options& options) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
    environment.insert(environment.end(), options.extraEnvironment.begin(),
                       options.extraEnvironment.end());
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) {
        _exit(126);
      }
      std::vector<char*> args;
      for (const auto& a : options.argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      std::vector<char*> env;
      for (const auto& e : environment) env.push_back(const_cast<char*>(e.c_str()));
      env.push_back(nullptr);
      execve(args[0], args.data(), env.data());
      _exit(127);
    }
    close(out[1]);
    stdout_ = out[0];
  }

  ~ChildProcess() {
    if (Running()) {
      kill(pid_, SIGKILL);
      WaitForExit(std::chrono::seconds(10));
    }
    if (stdout_ >= 0) close(stdout_);
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }

  // The next line of standard output, without its line end; nullopt on time-out or end of output.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (auto end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || stdout_ < 0) return std::nullopt;
      pollfd p{stdout_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      const ssize_t n = read(stdout_, chunk, sizeof chunk);
      if (n <= 0) {
        close(stdout_);
        stdout_ = -1;
        if (buffer_.empty()) return std::nullopt;
        std::string rest;
        rest.swap(buffer_);
        return rest;
      }
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // Reads lines until one satisfies `match`; every line read is kept in lines().
  std::optional<std::string> WaitForLine(const std::function<bool(const std::string&)>& match,
                                         std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      auto line = ReadLine(left);
      if (!line) return std::nullopt;
      lines_.push_back(*line);
      if (match(*line)) return line;
    }
    return std::nullopt;
  }

  const std::vector<std::string>& Lines() const { return lines_; }

  void Signal(int signal) const {
    if (pid_ > 0) kill(pid_, signal);
  }

  bool Running() {
    if (exitStatus_) return false;
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) exitStatus_ = status;
    return !exitStatus_;
  }

  // The raw wait status once the process has ended within the time-out.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Running()) {
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return exitStatus_;
  }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  std::string buffer_;
  std::vector<std::string> lines_;
  std::optional<int> exitStatus_;
};

// The exit code of `body` run in a forked child (-1 when it did not exit by itself): a piece of
// a test in a process of its own. The child ends without running destructors or exit handlers of
// the test process.
inline int ExitCodeInChild(const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) _exit(body());
  if (child < 0) return -1;
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// True when a wait status says the process exited normally with `code`.
inline bool ExitedWith(std::optional<int> status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

}  // namespace drv::testing
