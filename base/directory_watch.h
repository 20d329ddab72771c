#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace drv {

// Names of files that arrive in one directory while the program runs: moved in, or closed after
// being written, as the file system reports them. Asked without waiting, so that a timer of the
// main thread can look now and then. inotify in directory_watch_posix.cpp,
// ReadDirectoryChangesW in directory_watch_win.cpp.
class DirectoryWatch {
 public:
  // `directory` ends in the separator, or is "" for the working directory. A directory that
  // cannot be watched (missing, not permitted, no watches left) gives an inactive watch.
  explicit DirectoryWatch(const std::string& directory);
  ~DirectoryWatch();
  DirectoryWatch(const DirectoryWatch&) = delete;
  DirectoryWatch& operator=(const DirectoryWatch&) = delete;

  // False when the directory could not be watched, or is watched no longer (it was removed or
  // renamed, or the watch failed): whatever arrives is not reported.
  bool Active() const;

  // The names that arrived since the last call, in the order reported; a name may come twice,
  // and names of directories and of files that are gone again may come too. nullopt when the
  // watch lost track (more arrived than the system could queue, or the watch ended): the caller
  // must then list the directory to know what is there.
  std::optional<std::vector<std::string>> TakeArrivals();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace drv
