#include "base/directory_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace drv {

struct DirectoryWatch::State {
  int fd = -1;
  int watch = -1;
};

DirectoryWatch::DirectoryWatch(const std::string& directory) : state_(std::make_unique<State>()) {
  state_->fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (state_->fd < 0) return;
  // A file moved in is whole at once; one written in place is whole when it is closed. A hard
  // link made in the directory is only created: the reader takes a file that is still short for
  // one being written and looks at it again.
  state_->watch = inotify_add_watch(
      state_->fd, directory.empty() ? "." : directory.c_str(),
      IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
  if (state_->watch < 0) {
    close(state_->fd);
    state_->fd = -1;
  }
}

DirectoryWatch::~DirectoryWatch() {
  if (state_->fd >= 0) close(state_->fd);
}

bool DirectoryWatch::Active() const {
  return state_->fd >= 0 && state_->watch >= 0;
}

std::optional<std::vector<std::string>> DirectoryWatch::TakeArrivals() {
  if (!Active()) return std::vector<std::string>{};
  std::vector<std::string> names;
  bool lostTrack = false;
  alignas(inotify_event) char buffer[16 * 1024];
  for (;;) {
    const ssize_t count = read(state_->fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      if (count < 0 && errno != EAGAIN) lostTrack = true;
      break;
    }
    for (ssize_t at = 0; at < count;) {
      inotify_event event;
      std::memcpy(&event, buffer + at, sizeof event);
      const char* name = buffer + at + sizeof(inotify_event);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
      if ((event.mask & IN_Q_OVERFLOW) != 0) lostTrack = true;
      if ((event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
        // The directory is gone from under its name: nothing more will come.
        state_->watch = -1;
        lostTrack = true;
      }
      if ((event.mask & (IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE)) != 0 &&
          (event.mask & IN_ISDIR) == 0 && event.len > 0) {
        names.emplace_back(name);
      }
    }
  }
  if (lostTrack) return std::nullopt;
  return names;
}

}  // namespace drv
