#include "base/win_file.h"

#include <algorithm>

namespace drv {

bool WriteAll(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    // WriteFile takes a 32-bit count.
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

}  // namespace drv
