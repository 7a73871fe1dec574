#include "tools/qvgateway/tags/tag_state.h"

#include <math.h>

#include <algorithm>
#include <vector>

namespace qvgateway {

TagReading ReadTag(const TagConfig& tag, const StationCache& cache, int maxAgeMs, int64_t steadyNow, int64_t unixNow) {
  TagReading reading;
  reading.quality = Quality::Good;
  std::vector<uint16_t> words;
  int64_t oldestRead = steadyNow, changed = 0;
  for (int r = 0; r < tag.Registers(); ++r) {
    CachedValue cached;
    const Quality q = cache.Look(tag.area, tag.index + r, maxAgeMs, steadyNow, &cached);
    if (q == Quality::Bad && reading.quality != Quality::Bad) {
      reading.code = cached.code;
      reading.reason = cached.reason;
      reading.readYet = cached.tried;
    }
    if (static_cast<int>(q) > static_cast<int>(reading.quality)) reading.quality = q;
    words.push_back(cached.value);
    if (q != Quality::Bad) oldestRead = std::min(oldestRead, cached.atMs);
    changed = std::max(changed, cached.changedAtMs);
  }
  reading.unixMs = changed == 0 ? unixNow : unixNow - (steadyNow - changed);
  if (reading.quality != Quality::Bad && !Engineering(tag, words, &reading.value, &reading.why)) {
    reading.quality = Quality::Bad;
  }
  if (reading.quality == Quality::Bad) {
    reading.value = EngineeringValue();
    return reading;
  }
  reading.ageMs = steadyNow - oldestRead;
  return reading;
}

bool WorthPublishing(const TagReading& now, const TagReading& published, bool everPublished, double deadband) {
  if (!everPublished || now.quality != published.quality) return true;
  if (now.quality == Quality::Bad) {
    return now.code != published.code || now.reason != published.reason || now.readYet != published.readYet ||
           now.why != published.why;
  }
  if (now.value.kind != published.value.kind || now.value.kind == EngineeringValue::Kind::Bool) {
    return !(now.value == published.value);
  }
  const double moved = fabs(now.value.Number() - published.value.Number());
  return deadband > 0 ? moved > deadband : moved > 0;
}

}  // namespace qvgateway
