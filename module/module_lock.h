// The module lock count: driver objects alive plus LockServer holds. The
// module may be unloaded only while it is 0.
#pragma once

#include <stdint.h>

namespace quorvalend {

void LockModule();
void UnlockModule();
int32_t ModuleLockCount();

}  // namespace quorvalend
