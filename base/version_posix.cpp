#include "base/version.h"

namespace drv {

std::string ExecutableVersionText() {
  return DRV_VERSION_TEXT;
}

}  // namespace drv
