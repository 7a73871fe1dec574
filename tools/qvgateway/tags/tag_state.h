// A named tag's state as the station's cache holds it: the worst quality
// of its registers (a bad one carries the driver's code), its engineering
// value, and the rule that decides whether a new state is worth
// publishing (its deadband).
#pragma once

#include <stdint.h>

#include <string>

#include "tools/qvgateway/config/tag_config.h"
#include "tools/qvgateway/line/station_cache.h"
#include "tools/qvgateway/tags/tag_value.h"

namespace qvgateway {

struct TagReading {
  Quality quality = Quality::Bad;
  EngineeringValue value;
  int code = -1;       // bad: the driver's code, -1 none
  LineReason reason = LineReason::None;  // bad: why the line left it bad (None: never read, or `why`)
  bool readYet = true;  // false while a register of it was never read
  std::string why;     // bad from its value: why ("not BCD")
  int64_t unixMs = 0;  // when its registers last changed, value or quality (as the register topics say)
  int64_t ageMs = -1;  // since its oldest register's latest read; -1 when bad
};

TagReading ReadTag(const TagConfig& tag, const StationCache& cache, int maxAgeMs, int64_t steadyNow, int64_t unixNow);

// Publish when nothing was yet, when the quality (or a bad one's reason)
// changed, or when the value moved more than the deadband from the last
// published one (deadband 0: any change).
bool WorthPublishing(const TagReading& now, const TagReading& published, bool everPublished, double deadband);

}  // namespace qvgateway
