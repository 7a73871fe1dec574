// Per-machine driver settings, read when a driver object is made: registry
// values on Windows (the current user's over the machine's), environment
// variables on Linux. Nothing in a transaction reads them.
#pragma once

#include <stddef.h>

namespace quorvalend {

class SettingsSource {
 public:
  virtual ~SettingsSource() = default;
  // The text of setting `name` ("Trace", "ReplyWait", "CheckStation",
  // "TraceMaxKB") into `buffer`, cut to fit; false when it is not set.
  virtual bool Read(const char* name, char* buffer, size_t size) = 0;
};

SettingsSource& SystemSettings();

}  // namespace quorvalend
