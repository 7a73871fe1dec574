#include "tools/qvgateway/health_check.h"

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
  for (size_t i = 0; i < plan.stations.size(); ++i) {
    const StationHealth health = owner.Health(i, &lineUp);
    looks.push_back({plan.stations[i]->config->number, health.lastGood && !health.demoted, health.lastError});
  }
  return HealthReply(lineUp, looks);
}

}  // namespace qvgateway
