#include "app/close_code.h"

#include <chrono>
#include <random>

namespace drv {

std::string DrawCloseCode(uint64_t seed) {
  std::mt19937_64 generator(seed);
  std::uniform_int_distribution<int> belowRange(0, 89998);
  return std::to_string(10000 + belowRange(generator));
}

uint64_t CloseCodeSeed() {
  uint64_t seed =
      static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  try {
    std::random_device entropy;
    seed ^= (static_cast<uint64_t>(entropy()) << 32) | entropy();
  } catch (...) {
    // No entropy source: the clock alone seeds the code.
  }
  return seed;
}

CloseCodeAnswer JudgeCloseCode(std::string_view entry, std::string_view closeCode) {
  // An empty code would let an empty entry through.
  if (closeCode.empty()) return CloseCodeAnswer::kWrongCode;
  return entry == closeCode ? CloseCodeAnswer::kAccepted : CloseCodeAnswer::kWrongCode;
}

}  // namespace drv
