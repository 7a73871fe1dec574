#include "driver/driver_platform.h"

namespace quorvalend {
namespace {

// At namespace scope: a function-local object would need a first-call
// guard, and with it the threading runtime.
DriverPlatform activePlatform{&SystemSerialPort(), &SystemClock(), &SystemSettings()};

}  // namespace

DriverPlatform& ActiveDriverPlatform() { return activePlatform; }

}  // namespace quorvalend
