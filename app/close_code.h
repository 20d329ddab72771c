#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace drv {

enum class CloseCodeAnswer { kAccepted, kWrongCode, kCancelled };

// Five decimal digits, 10000 to 99998 (10000 plus a uniform number below 89999), so never a
// leading zero. The same seed gives the same code.
std::string DrawCloseCode(uint64_t seed);

// A seed that differs from start to start: the clock mixed with the system's entropy.
uint64_t CloseCodeSeed();

// "ОК" in the close-code dialog: the entry must equal the code character for character.
CloseCodeAnswer JudgeCloseCode(std::string_view entry, std::string_view closeCode);

}  // namespace drv
