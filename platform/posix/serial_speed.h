// Line speeds that termios has no constant for (14400, 28800, 56000, ...),
// set through the kernel's arbitrary-rate interface.
#pragma once

#include <stdint.h>

namespace quorvalend {

// Sets input and output speed of the terminal `fd` to `baud` bits per
// second, changing nothing else; false when the device refuses.
bool SetArbitraryBaudRate(int fd, int32_t baud);

}  // namespace quorvalend
