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
};

}  // namespace

Clock& SystemClock() {
  static Win32Clock clock;
  return clock;
}

}  // namespace quorvalend
