#include "driver/driver_platform.h"

namespace quorvalend {

DriverPlatform& ActiveDriverPlatform() {
  static DriverPlatform platform{&SystemSerialPort(), &SystemClock()};
  return platform;
}

}  // namespace quorvalend
