#include "base/paths.h"

namespace drv {

char PathSeparator() {
  return '\\';
}

bool IsPathSeparator(char c) {
  return c == '\\' || c == '/';
}

bool IsAbsolutePath(std::string_view path) {
  if (!path.empty() && IsPathSeparator(path.front())) return true;
  const bool driveLetter =
      path.size() >= 2 && path[1] == ':' &&
      ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  return driveLetter;
}

}  // namespace drv
