#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace drv::testing {

// A pseudo-terminal pair in raw mode: the test plays the station on the master side; the driver
// opens the slave by its path.
class PtyPair {
 public:
  PtyPair() {
    int slave = -1;
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slave, name, &raw, nullptr) != 0) throw std::runtime_error("openpty");
    slavePath_ = name;
    // The slave stays open here only until the driver has it, so that no byte is lost meanwhile.
    slaveKeeper_ = slave;
  }
  ~PtyPair() {
    if (master_ >= 0) close(master_);
    if (slaveKeeper_ >= 0) close(slaveKeeper_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& SlavePath() const { return slavePath_; }
  int Master() const { return master_; }

  void Write(const std::vector<uint8_t>& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n < 0) throw std::runtime_error("write to pty failed");
      done += static_cast<std::size_t>(n);
    }
  }

  // Waits until another process holds the slave exclusively (the driver has opened its port);
  // false when that does not happen in time.
  bool WaitUntilSlaveHeld(std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      const int fd = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) return true;  // refused as exclusive
      const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
      close(fd);
      if (held) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // One byte from the driver, or nullopt when none arrives in time.
  std::optional<uint8_t> ReadByte(std::chrono::milliseconds timeout) const {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    uint8_t byte = 0;
    if (read(master_, &byte, 1) != 1) return std::nullopt;
    return byte;
  }

 private:
  int master_ = -1;
  int slaveKeeper_ = -1;
  std::string slavePath_;
};

}  // namespace drv::testing
