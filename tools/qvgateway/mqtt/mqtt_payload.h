// What the MQTT adapter says and hears, as text: a tag's state as its
// retained JSON, a write request on a .../set topic, and the write's
// result. Pure: no broker, no line, so that every shape of payload can be
// tested from a table.
#pragma once

#include <stdint.h>

#include <nlohmann/json_fwd.hpp>
#include <string>

#include "tools/qvgateway/line/register_rules.h"
#include "tools/qvgateway/line/station_cache.h"
#include "tools/qvgateway/line/station_health.h"

namespace qvgateway {

// One tag as subscribers see it. A bad value carries the driver's code
// (-1 when it was never read, or the failure left none) and no value:
// a failed read is never shown as data.
struct TagState {
  Quality quality = Quality::Bad;
  uint16_t value = 0;
  int code = -1;
  // When the value shown was read: the first read that gave this value and
  // quality (bad: when it turned bad, for this reason); one meaning on
  // every side.
  int64_t unixMs = 0;
  LineReason reason = LineReason::None;  // bad: why (None: never read)

  // Published again only when what a subscriber would act on changed.
  bool SameAs(const TagState& other) const {
    if (quality != other.quality) return false;
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

// {"value": 42, "id": "any text"}, or a bare number. `idJson` is the id
// as JSON ("null" when none), for the result even of a refused request.
struct SetRequest {
  long long value = 0;
  std::string idJson = "null";
};
// False with why when the payload is not a write of one whole number in
// the register's range (0..65535 for a D register, 0..255 for an M group).
bool ParseSetPayload(const std::string& payload, Area area, SetRequest* request, std::string* why);

// {"id":"x","ok":true} or {"id":"x","ok":false,"code":5,"meaning":"receive time-out"};
// `code` -1 gives "code":null.
std::string ResultPayload(const std::string& idJson, bool ok, int code = -1, const std::string& meaning = "");

}  // namespace qvgateway
