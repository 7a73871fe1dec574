// Whether this machine runs 32-bit code only under a user-mode emulator
// (qemu-i386 through binfmt_misc), as `make deps` found and wrote into
// build/i386-mode. Such an emulator lacks a few system facilities; a test
// leaves out only what the emulator lacks, and only where the mode says
// emulated and a probe of the facility itself fails: where 32-bit code
// runs natively, every check runs.
#pragma once

#include <errno.h>
#include <stdio.h>
#include <string.h>

namespace qvtest {

inline bool RunsUnderI386Emulator() {
#if defined(QUORVALEND_I386_MODE_FILE)
  char mode[32] = {};
  if (FILE* file = fopen(QUORVALEND_I386_MODE_FILE, "r")) {
    if (fgets(mode, sizeof mode, file) == nullptr) mode[0] = '\0';
    fclose(file);
  }
  return strncmp(mode, "emulated", 8) == 0;
#else
  return false;
#endif
}

// A request the emulator does not translate fails with ENOSYS; the kernel
// answers an unknown terminal request with ENOTTY or EINVAL, never ENOSYS.
inline bool EmulatorLacks(int requestResult, int error) {
  return requestResult != 0 && error == ENOSYS && RunsUnderI386Emulator();
}

}  // namespace qvtest
