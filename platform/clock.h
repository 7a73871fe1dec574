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
  // Microseconds from an arbitrary start, finer than the tick where the
  // system has a finer counter; for measuring, never for deadlines.
  virtual uint64_t Microseconds() { return static_cast<uint64_t>(TickCount()) * 1000u; }
};

Clock& SystemClock();

// Seconds between 1601-01-01 and 1970-01-01.
constexpr uint64_t kFileTimeUnixEpochSeconds = 11644473600ull;

}  // namespace quorvalend
