// What the MQTT adapter says and hears, as text: a tag's state as its
// retained JSON, a station's health, tag names in topics (the write
// request and its result are set_payload's). Pure: no broker, no line,
// so that every shape of payload can be tested from a table.
#pragma once

#include <stdint.h>

#include <nlohmann/json_fwd.hpp>
#include <string>

#include "tools/qvgateway/line/register_rules.h"
#include "tools/qvgateway/line/station_cache.h"
#include "tools/qvgateway/line/station_health.h"
#include "tools/qvgateway/mqtt/set_payload.h"

namespace qvgateway {

// One tag as subscribers see it. A bad value carries the driver's code
// (-1 when it was never read, or the failure left none) and no value:
// a failed read is never shown as data. Before its first read a tag is
// bad with "not read yet", so that a subscriber can tell a gateway that
// has just started from a station that does not answer.
struct TagState {
  Quality quality = Quality::Bad;
  uint16_t value = 0;
  int code = -1;
  // When the value shown was read: the first read that gave this value and
  // quality (bad: when it turned bad, for this reason); one meaning on
  // every side.
  int64_t unixMs = 0;
  LineReason reason = LineReason::None;  // bad: why the line gave
  bool readYet = true;  // false before its first read

  // Published again only when what a subscriber would act on changed.
  bool SameAs(const TagState& other) const {
    if (quality != other.quality || readYet != other.readYet) return false;
    return quality == Quality::Bad ? code == other.code && reason == other.reason : value == other.value;
  }
};

// A tag as the cache holds it now: its quality against `maxAgeMs`, and a
// good or stale value's wall time from its age on the steady clock.
TagState LookTag(const StationCache& cache, Area area, int index, int maxAgeMs, int64_t steadyNow, int64_t unixNow);

const char* QualityName(Quality quality);

// {"value":1234,"quality":"good","code":null,"ts":"2026-12-09T06:47:34.881+00:00"};
// a bad one adds "meaning" and has "value":null. The object is what the
// status page shows of a tag too, so that both say the same.
nlohmann::json TagJson(const TagState& state);
std::string TagPayload(const TagState& state);

// A station's health, retained on <prefix>/<station>/status:
// {"communication_good":true,"demoted":false,"port_open":true,"transactions":12,
//  "timeouts":0,"bad_replies":0,"last_error":null}; a last error adds its meaning.
nlohmann::json StationStatusJson(const StationHealth& health, bool lineUp);
std::string StationStatusPayload(const StationHealth& health, bool lineUp);

// "D100", or "M10" for the M group M10..M17.
std::string TagName(Area area, int index);
// The inverse, for a tag named in a topic: only the canonical spelling
// of a register that exists.
bool ParseTagName(const std::string& name, Area* area, int* index);

}  // namespace qvgateway
