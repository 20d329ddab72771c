#include "receiver/serial_custom_rate_posix.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace drv {

int SetCustomLineRate(int fd, uint32_t bitsPerSecond) {
  termios2 tio{};
  if (ioctl(fd, TCGETS2, &tio) != 0) return errno;
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = bitsPerSecond;
  tio.c_ospeed = bitsPerSecond;
  if (ioctl(fd, TCSETS2, &tio) != 0) return errno;
  return 0;
}

int ReadLineRate(int fd, uint32_t& bitsPerSecond) {
  termios2 tio{};
  if (ioctl(fd, TCGETS2, &tio) != 0) return errno;
  bitsPerSecond = tio.c_ospeed;
  return 0;
}

}  // namespace drv
