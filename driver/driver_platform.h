// The serial port and clock that driver objects use. The system's by
// default; tests and fuzzers put in-memory ones in their place.
#pragma once

#include "platform/clock.h"
#include "platform/serial_port.h"
#include "platform/settings.h"

namespace quorvalend {

struct DriverPlatform {
  SerialPort* port;
  Clock* clock;
  // Null reads no settings: tests and fuzzers run with the defaults
  // whatever the machine has set.
  SettingsSource* settings;
};

DriverPlatform& ActiveDriverPlatform();

// Puts `platform` in force until the guard goes out of scope.
class ScopedDriverPlatform {
 public:
  explicit ScopedDriverPlatform(DriverPlatform platform)
      : saved_(ActiveDriverPlatform()) {
    ActiveDriverPlatform() = platform;
  }
  ~ScopedDriverPlatform() { ActiveDriverPlatform() = saved_; }
  ScopedDriverPlatform(const ScopedDriverPlatform&) = delete;
  ScopedDriverPlatform& operator=(const ScopedDriverPlatform&) = delete;

 private:
  DriverPlatform saved_;
};

}  // namespace quorvalend
