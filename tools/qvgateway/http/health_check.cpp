#include "tools/qvgateway/http/health_check.h"

#include <nlohmann/json.hpp>

#include "tools/host/timestamps.h"
#include "tools/qvgateway/mqtt/mqtt_adapter.h"

namespace qvgateway {

BrokerLook LookAtBroker(const MqttAdapter* mqtt) {
  BrokerLook look;
  if (mqtt == nullptr) return look;
  look.configured = true;
  look.connected = mqtt->Connected();
  look.sinceUnixMs = mqtt->ConnectionSinceUnixMs();
  return look;
}

HttpReply HealthReply(bool lineUp, const std::vector<StationLook>& stations, const BrokerLook& broker) {
  using Json = nlohmann::ordered_json;
  Json answering = Json::array(), silent = Json::array(), down = Json::array();
  std::string silentList;
  for (const StationLook& s : stations) {
    (s.answers ? answering : silent).push_back(s.number);
    if (!s.answers) silentList += (silentList.empty() ? "" : ", ") + std::to_string(s.number);
  }
  std::vector<std::string> reasons;
  if (!lineUp) {
    down.push_back("line");
    reasons.push_back("the port is not open");
  }
  // While the port is closed no station answers: the port is the one part down.
  if (lineUp && !silent.empty()) {
    down.push_back("stations");
    reasons.push_back(silent.size() == 1 ? "station " + silentList + " does not answer"
                                         : "stations " + silentList + " do not answer");
  }
  if (broker.configured && !broker.connected) {
    down.push_back("broker");
    reasons.push_back("the MQTT broker is not connected");
  }
  std::string reason;
  for (const auto& r : reasons) reason += (reason.empty() ? "" : "; ") + r;
  if (reason.empty()) {
    reason = broker.configured ? "every station answers and the MQTT broker is connected" : "every station answers";
  }
  Json json = {{"ok", down.empty()},   {"down", down},           {"reason", reason},
               {"port_open", lineUp}, {"answering", answering}, {"not_answering", silent}};
  if (broker.configured) {
    json["broker"] = {{"connected", broker.connected}, {"since", qvhost::Iso8601(broker.sinceUnixMs, false)}};
  }
  HttpReply reply;
  reply.contentType = "application/json";
  reply.status = down.empty() ? 200 : 503;
  reply.body = json.dump() + "\n";
  return reply;
}

HttpReply Healthz(const LinePlan& plan, const LineOwner& owner, const MqttAdapter* mqtt) {
  bool lineUp = false;
  std::vector<StationLook> looks;
  std::vector<StationHealth> health;
  for (size_t i = 0; i < plan.stations.size(); ++i) health.push_back(owner.Health(i, &lineUp));
  // A station answers nobody while the port is closed, whatever its last
  // transaction was (the one that found the port gone is not its own).
  for (size_t i = 0; i < plan.stations.size(); ++i) {
    looks.push_back({plan.stations[i]->config->number, lineUp && health[i].lastGood && !health[i].demoted,
                     health[i].lastError});
  }
  return HealthReply(lineUp, looks, LookAtBroker(mqtt));
}

}  // namespace qvgateway
