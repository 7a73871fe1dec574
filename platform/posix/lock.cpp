#include "platform/lock.h"

namespace quorvalend {

void PlatformLock::Acquire() { pthread_mutex_lock(&native_); }
void PlatformLock::Release() { pthread_mutex_unlock(&native_); }

}  // namespace quorvalend
