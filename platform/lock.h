// A lock built at compile time from the system's own primitive: no handle,
// no constructor that runs, nothing to free. Static constructors may take
// it, and loading and unloading the module leaves nothing behind (a
// threading runtime's mutex would cost a thread and an event handle per
// load on Windows).
#pragma once

#if defined(_WIN32)
#include "platform/win32/native_lock.h"
#else
#include "platform/posix/native_lock.h"
#endif

namespace quorvalend {

class PlatformLock {
 public:
  constexpr PlatformLock() : native_ QV_NATIVE_LOCK_INIT {}
  PlatformLock(const PlatformLock&) = delete;
  PlatformLock& operator=(const PlatformLock&) = delete;

  void Acquire();
  void Release();

 private:
  NativeLock native_;
};

// Holds a lock for a scope, also when the scope is left by an exception.
class LockHold {
 public:
  explicit LockHold(PlatformLock& lock) : lock_(lock) { lock_.Acquire(); }
  ~LockHold() { lock_.Release(); }
  LockHold(const LockHold&) = delete;
  LockHold& operator=(const LockHold&) = delete;

 private:
  PlatformLock& lock_;
};

}  // namespace quorvalend
