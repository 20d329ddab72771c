#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

// The far end of a TCP connection for tests, on 127.0.0.1: one file per platform.
namespace drv::testing {

// One accepted connection; its listener keeps it open until the listener goes.
class LoopbackPeer {
 public:
  LoopbackPeer();
  ~LoopbackPeer();
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  bool Valid() const;
  // Up to `count` bytes, fewer when they do not come within `timeoutMs` or the stream ends.
  std::vector<uint8_t> ReceiveExactly(std::size_t count, int timeoutMs = 10000);
  bool Send(std::string_view bytes);
  // Ends both directions; the connection stays open as a socket.
  void Shutdown();
  void Close();

 private:
  friend class LoopbackListener;
  struct Socket;
  std::unique_ptr<Socket> socket_;
};

// A listening socket with a port of the system's choosing. A backlog of 0 takes one pending
// connection at most, so that a further handshake goes unanswered.
class LoopbackListener {
 public:
  explicit LoopbackListener(int backlog = 4);
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  int Port() const;
  void CloseListening();
  // The next connection, kept by the listener; null when none comes within `timeoutMs`.
  LoopbackPeer* Accept(int timeoutMs = 10000);

 private:
  struct Socket;
  std::unique_ptr<Socket> socket_;
  std::vector<std::unique_ptr<LoopbackPeer>> accepted_;
};

}  // namespace drv::testing
