// A slim reader/writer lock: one pointer, initialised by value.
#pragma once

#include <windows.h>

namespace quorvalend {
using NativeLock = SRWLOCK;
}  // namespace quorvalend

#define QV_NATIVE_LOCK_INIT SRWLOCK_INIT
