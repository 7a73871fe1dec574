#include "platform/lock.h"

namespace quorvalend {

void PlatformLock::Acquire() { AcquireSRWLockExclusive(&native_); }
void PlatformLock::Release() { ReleaseSRWLockExclusive(&native_); }

}  // namespace quorvalend
