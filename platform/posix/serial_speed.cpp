// <asm/termbits.h> declares the kernel's own struct termios, which clashes
// with the C library's: this file must never see <termios.h>.
#include "platform/posix/serial_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace quorvalend {

bool SetArbitraryBaudRate(int fd, int32_t baud) {
  if (baud <= 0) return false;
  termios2 line{};
  if (ioctl(fd, TCGETS2, &line) != 0) return false;
  // BOTHER in both speed fields: the rate is taken from c_ospeed and
  // c_ispeed as numbers.
  line.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  line.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  line.c_ospeed = static_cast<speed_t>(baud);
  line.c_ispeed = static_cast<speed_t>(baud);
  return ioctl(fd, TCSETS2, &line) == 0;
}

}  // namespace quorvalend
