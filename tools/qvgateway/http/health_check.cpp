#include "tools/qvgateway/http/health_check.h"

namespace qvgateway {

HttpReply HealthReply(bool lineUp, const std::vector<StationLook>& stations) {
  HttpReply reply;
  reply.contentType = "application/json";
  std::string answering, silent;
  for (const StationLook& s : stations) {
    std::string& list = s.answers ? answering : silent;
    list += (list.empty() ? "" : ",") + std::to_string(s.number);
  }
  const char* reason = !lineUp                ? "the port is not open"
                       : answering.empty()    ? "no station answers"
                       : silent.empty()       ? "every station answers"
                                              : "some stations answer";
  reply.status = lineUp && !answering.empty() ? 200 : 503;
  reply.body = std::string("{\"ok\":") + (reply.status == 200 ? "true" : "false") + ",\"reason\":\"" + reason +
               "\",\"port_open\":" + (lineUp ? "true" : "false") + ",\"answering\":[" + answering +
               "],\"not_answering\":[" + silent + "]}\n";
  return reply;
}

HttpReply Healthz(const LinePlan& plan, const LineOwner& owner) {
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
  return HealthReply(lineUp, looks);
}

}  // namespace qvgateway
