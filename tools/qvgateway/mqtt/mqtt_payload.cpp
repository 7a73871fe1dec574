#include "tools/qvgateway/mqtt/mqtt_payload.h"

#include <nlohmann/json.hpp>

#include "tools/host/driver_errors.h"
#include "tools/host/timestamps.h"

namespace qvgateway {
namespace {

using Json = nlohmann::json;

// Text from the network may be any bytes: shown, never thrown on.
std::string Dump(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

bool Digits(const std::string& text) {
  return !text.empty() && text.size() <= 5 && text.find_first_not_of("0123456789") == std::string::npos &&
         (text.size() == 1 || text[0] != '0');
}

}  // namespace

const char* QualityName(Quality quality) {
  return quality == Quality::Good ? "good" : quality == Quality::Stale ? "stale" : "bad";
}

TagState LookTag(const StationCache& cache, Area area, int index, int maxAgeMs, int64_t steadyNow, int64_t unixNow) {
  CachedValue cached;
  TagState state;
  state.quality = cache.Look(area, index, maxAgeMs, steadyNow, &cached);
  state.value = cached.value;
  state.code = cached.code;
  state.reason = cached.reason;
  state.readYet = cached.tried;
  state.unixMs = cached.changedAtMs == 0 ? unixNow : unixNow - (steadyNow - cached.changedAtMs);
  return state;
}

Json TagJson(const TagState& state) {
  Json json = Json::object();
  json["value"] = state.quality == Quality::Bad ? Json() : Json(state.value);
  json["quality"] = QualityName(state.quality);
  json["code"] = state.quality == Quality::Bad && state.code >= 0 ? Json(state.code) : Json();
  if (state.quality == Quality::Bad) {
    json["meaning"] = state.reason != LineReason::None ? LineMeaning(LineFailed(state.reason, state.code))
                      : !state.readYet                  ? "not read yet"
                      : state.code == -1                ? "its last read failed"
                                                        : qvhost::Meaning(state.code);
  }
  json["ts"] = qvhost::Iso8601(state.unixMs, false);
  return json;
}

std::string TagPayload(const TagState& state) { return Dump(TagJson(state)); }

Json StationStatusJson(const StationHealth& health, bool lineUp) {
  Json json = Json::object();
  json["communication_good"] = lineUp && health.lastGood && !health.demoted;
  json["demoted"] = health.demoted;
  json["port_open"] = lineUp;
  json["transactions"] = health.transactions;
  json["timeouts"] = health.timeouts;
  json["bad_replies"] = health.badReplies;
  json["last_error"] = health.lastError >= 0 ? Json(health.lastError) : Json();
  if (health.lastError >= 0) json["meaning"] = qvhost::Meaning(health.lastError);
  return json;
}

std::string StationStatusPayload(const StationHealth& health, bool lineUp) {
  return Dump(StationStatusJson(health, lineUp));
}

std::string TagName(Area area, int index) {
  return area == Area::D ? "D" + std::to_string(index) : "M" + std::to_string(index * 10);
}

bool ParseTagName(const std::string& name, Area* area, int* index) {
  if (name.size() < 2 || (name[0] != 'D' && name[0] != 'M') || !Digits(name.substr(1))) return false;
  const int number = std::stoi(name.substr(1));
  if (name[0] == 'D') {
    if (number >= kDRegisters) return false;
    *area = Area::D;
    *index = number;
  } else {
    if (number % 10 != 0 || number / 10 >= kMGroups) return false;
    *area = Area::M;
    *index = number / 10;
  }
  return true;
}

}  // namespace qvgateway
