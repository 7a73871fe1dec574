#include "driver/driver_platform.h"

namespace quorvalend {

DriverPlatform& ActiveDriverPlatform() {
  static DriverPlatform platform{&SystemSerialPort(), &SystemClock(), &SystemSettings()};
  return platform;
}

}  // namespace quorvalend
