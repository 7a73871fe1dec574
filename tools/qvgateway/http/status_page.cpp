#include "tools/qvgateway/http/status_page.h"

#include "tools/host/timestamps.h"
#include "tools/qvgateway/http/health_check.h"
#include "tools/qvgateway/sparkplug/sparkplug_adapter.h"

namespace qvgateway {

LineView LookAtLine(const GatewayConfig& config, const LinePlan& plan, const LineOwner& owner,
                    const LineUtilisation& utilisation, const MqttAdapter* mqtt,
                    const SparkplugAdapter* sparkplug) {
  LineView view;
  view.port = config.line.port;
  view.baud = config.line.baud;
  view.plannedShare = plan.utilisation;
  view.busyShares = utilisation.Shares();
  const int64_t steadyNow = SteadyMs();
  view.unixNowMs = qvhost::NowUnixMs();
  // Steady times shown as wall times, from the same pair of readings.
  const auto wall = [&](int64_t steadyMs) { return view.unixNowMs - (steadyNow - steadyMs); };
  view.broker = LookAtBroker(mqtt);
  if (sparkplug != nullptr) {
    const SparkplugLook look = sparkplug->Look();
    view.sparkplug.configured = true;
    view.sparkplug.connected = look.connected;
    view.sparkplug.online = look.born;
    view.sparkplug.buffered = !config.sparkplug.bufferDir.empty();
    view.sparkplug.depth = look.depth;
    view.sparkplug.dropped = look.dropped;
    view.sparkplug.oldestUnixMs = look.oldestUnixMs;
  }
  view.portSinceUnixMs = wall(owner.LineSinceMs());
  for (size_t s = 0; s < plan.stations.size(); ++s) {
    const StationPlan& sp = *plan.stations[s];
    StationView station;
    station.number = sp.config->number;
    station.unit = sp.rules.unit;
    station.health = owner.Health(s, &view.portOpen);
    if (station.health.demoted) {
      station.demotedSinceUnixMs = wall(station.health.demotedSinceMs);
      station.nextTryUnixMs = wall(station.health.demotedUntilMs);
    }
    // Named tags, when the file names any, instead of the registers.
    for (const TagConfig& named : config.tags) {
      if (named.station != station.number) continue;
      TagView tag;
      tag.named = &named;
      tag.reading = ReadTag(named, owner.Cache(s), sp.config->maxAgeMs, steadyNow, view.unixNowMs);
      tag.ageMs = tag.reading.ageMs;
      station.tags.push_back(tag);
    }
    if (!config.tags.empty()) {
      view.stations.push_back(std::move(station));
      continue;
    }
    sp.rules.readable.ForEach([&](Area area, int i) {
      TagView tag;
      tag.area = area;
      tag.index = i;
      tag.state = LookTag(owner.Cache(s), area, i, sp.config->maxAgeMs, steadyNow, view.unixNowMs);
      // Its age counts from its latest read; its ts from the read that
      // first gave this value.
      CachedValue cached;
      if (owner.Cache(s).Look(area, i, sp.config->maxAgeMs, steadyNow, &cached) != Quality::Bad) {
        tag.ageMs = steadyNow - cached.atMs;
      }
      station.tags.push_back(tag);
    });
    view.stations.push_back(std::move(station));
  }
  return view;
}

void AddStatusPage(HttpServer& http, const GatewayConfig& config, const LinePlan& plan, const LineOwner& owner,
                   const LineUtilisation& utilisation, const MqttAdapter* mqtt,
                   const SparkplugAdapter* sparkplug) {
  http.Add("/", [] { return HttpReply{200, "text/html; charset=utf-8", kStatusPageHtml}; });
  http.Add("/status.json", [&config, &plan, &owner, &utilisation, mqtt, sparkplug] {
    return HttpReply{200, "application/json",
                     StatusJson(LookAtLine(config, plan, owner, utilisation, mqtt, sparkplug)) + "\n"};
  });
}

}  // namespace qvgateway
