#include "base/paths.h"

namespace drv {

std::string JoinPath(std::string_view directory, std::string_view name) {
  std::string path(directory);
  if (!path.empty() && !IsPathSeparator(path.back())) path += PathSeparator();
  return path.append(name);
}

}  // namespace drv
