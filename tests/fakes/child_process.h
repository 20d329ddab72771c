#pragma once

// POSIX only: runs a piece of a test in a process of its own.

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace drv::testing {

// The exit code of `body` run in a forked child (-1 when it did not exit by itself). The child
// ends without running destructors or exit handlers of the test process.
inline int ExitCodeInChild(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body());
  if (child < 0) return -1;
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace drv::testing
