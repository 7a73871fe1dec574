// Millisecond ticks, the poll sleep and wall-clock time, behind one small
// interface so that tests and fuzzers can run the transaction on a fake clock.
#pragma once

#include <stdint.h>

namespace quorvalend {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds from an arbitrary start; wraps at 2^32.
  virtual uint32_t TickCount() = 0;
  virtual void SleepMs(uint32_t milliseconds) = 0;
  // 100-nanosecond intervals since 1601-01-01 UTC.
  virtual uint64_t FileTimeNow() = 0;
};

Clock& SystemClock();

// Seconds between 1601-01-01 and 1970-01-01.
constexpr uint64_t kFileTimeUnixEpochSeconds = 11644473600ull;

}  // namespace quorvalend
