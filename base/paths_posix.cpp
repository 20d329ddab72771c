#include "base/paths.h"

namespace drv {

char PathSeparator() {
  return '/';
}

bool IsPathSeparator(char c) {
  return c == '/';
}

bool IsAbsolutePath(std::string_view path) {
  return path.starts_with('/');
}

}  // namespace drv
