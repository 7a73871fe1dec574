#include <objbase.h>
#include <windows.h>

#include "platform/clock.h"

namespace quorvalend {
namespace {

class Win32Clock final : public Clock {
 public:
  uint32_t TickCount() override { return GetTickCount(); }
  void SleepMs(uint32_t milliseconds) override { Sleep(milliseconds); }
  uint64_t FileTimeNow() override {
    FILETIME now{};
    CoFileTimeNow(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  }
  uint64_t Microseconds() override {
    LARGE_INTEGER counter{}, frequency{};
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<uint64_t>(counter.QuadPart / frequency.QuadPart) * 1000000u +
           static_cast<uint64_t>(counter.QuadPart % frequency.QuadPart) * 1000000u /
               static_cast<uint64_t>(frequency.QuadPart);
  }
};

// At namespace scope: a function-local object would need a first-call
// guard, and with it the threading runtime.
Win32Clock systemClock;

}  // namespace

Clock& SystemClock() { return systemClock; }

}  // namespace quorvalend
