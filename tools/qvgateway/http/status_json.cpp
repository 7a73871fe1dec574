#include "tools/qvgateway/http/status_json.h"

#include <math.h>

#include <nlohmann/json.hpp>

#include "tools/host/timestamps.h"
#include "tools/qvgateway/line/line_utilisation.h"

namespace qvgateway {
namespace {

using Json = nlohmann::json;

// Three decimals say a share to a tenth of a percent; more only weighs.
double Rounded(double share) { return round(share * 1000) / 1000; }

Json Time(int64_t unixMs) { return unixMs > 0 ? Json(qvhost::Iso8601(unixMs, false)) : Json(); }

// An M group's eight coils, the highest (M17 of M10) first, as they are
// written in a ladder.
std::string Bits(uint16_t value) {
  std::string bits;
  for (int bit = 7; bit >= 0; --bit) bits += (value >> bit & 1) != 0 ? '1' : '0';
  return bits;
}

}  // namespace

const char* StationState(const StationHealth& health, bool portOpen) {
  if (health.demoted) return "demoted";
  if (portOpen && health.lastGood) return "good";
  if (health.transactions == 0 && health.lastError < 0 && portOpen) return "waiting";
  return "not answering";
}

std::string StatusJson(const LineView& view) {
  Json busy = Json::array();
  for (float share : view.busyShares) busy.push_back(Rounded(share));
  Json stations = Json::array();
  for (const StationView& s : view.stations) {
    Json station = StationStatusJson(s.health, view.portOpen);
    station["number"] = s.number;
    station["unit"] = s.unit;
    station["state"] = StationState(s.health, view.portOpen);
    station["demoted_since"] = s.health.demoted ? Time(s.demotedSinceUnixMs) : Json();
    station["next_try"] = s.health.demoted ? Time(s.nextTryUnixMs) : Json();
    Json tags = Json::array();
    for (const TagView& t : s.tags) {
      Json tag = t.named != nullptr ? NamedTagJson(*t.named, t.reading) : TagJson(t.state);
      tag["tag"] = t.named != nullptr ? t.named->name : TagName(t.area, t.index);
      tag["age_ms"] = t.ageMs >= 0 ? Json(t.ageMs) : Json();
      if (t.named == nullptr && t.area == Area::M && t.state.quality != Quality::Bad) tag["bits"] = Bits(t.state.value);
      tags.push_back(std::move(tag));
    }
    station["tags"] = std::move(tags);
    stations.push_back(std::move(station));
  }
  Json json = {
      {"time", qvhost::Iso8601(view.unixNowMs, false)},
      {"line",
       {{"port", view.port},
        {"baud", view.baud},
        {"port_open", view.portOpen},
        {"since", Time(view.portSinceUnixMs)},
        {"utilisation",
         {{"planned", Rounded(view.plannedShare)}, {"interval_ms", LineUtilisation::kIntervalMs}, {"busy", busy}}}}},
      {"stations", std::move(stations)},
  };
  if (view.broker.configured) {
    json["mqtt"] = {{"connected", view.broker.connected}, {"since", Time(view.broker.sinceUnixMs)}};
  }
  if (view.sparkplug.configured) {
    const SparkplugView& sp = view.sparkplug;
    json["sparkplug"] = {{"connected", sp.connected}, {"online", sp.online}};
    if (sp.buffered) {
      json["sparkplug"]["buffer"] = {{"depth", sp.depth},
                                     {"oldest", sp.oldestUnixMs < 0 ? Json() : Json(Time(sp.oldestUnixMs))},
                                     {"dropped", sp.dropped}};
    }
  }
  // A port named in the file may hold any bytes: shown, never thrown on.
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace qvgateway
