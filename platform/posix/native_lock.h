// A default mutex, initialised by value.
#pragma once

#include <pthread.h>

namespace quorvalend {
using NativeLock = pthread_mutex_t;
}  // namespace quorvalend

#define QV_NATIVE_LOCK_INIT PTHREAD_MUTEX_INITIALIZER
