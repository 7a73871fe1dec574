#include <errno.h>
#include <time.h>

#include "platform/clock.h"

namespace quorvalend {
namespace {

class PosixClock final : public Clock {
 public:
  uint32_t TickCount() override {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
  }

  void SleepMs(uint32_t milliseconds) override {
    timespec wait{static_cast<time_t>(milliseconds / 1000u), static_cast<long>(milliseconds % 1000u) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
  }

  uint64_t Microseconds() override {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
  }

  uint64_t FileTimeNow() override {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<uint64_t>(now.tv_sec) + kFileTimeUnixEpochSeconds) * 10000000u +
           static_cast<uint64_t>(now.tv_nsec) / 100u;
  }
};

// At namespace scope: a function-local object would need a first-call
// guard, and with it the threading runtime.
PosixClock systemClock;

}  // namespace

Clock& SystemClock() { return systemClock; }

}  // namespace quorvalend
