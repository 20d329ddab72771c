#pragma once

#include <cstdint>

namespace drv {

// Line rates without a termios speed constant go through termios2 (BOTHER); the kernel's
// termios structure lives in its own translation unit because it clashes with <termios.h>.

// Sets both directions of the tty `fd` to `bitsPerSecond`; 0 on success, else the errno value.
int SetCustomLineRate(int fd, uint32_t bitsPerSecond);

// The output rate of the tty `fd` in bits per second; 0 on success, else the errno value.
int ReadLineRate(int fd, uint32_t& bitsPerSecond);

}  // namespace drv
