#include "tools/qvgateway/service/reload_check.h"

#include <tuple>

namespace qvgateway {
namespace {

// Every key of [line]; where a key is added to LineConfig it belongs here,
// or a reload would keep a port opened with the old value.
auto LineKeys(const LineConfig& l) {
  return std::tie(l.port, l.baud, l.dataBits, l.parity, l.stopBits, l.timeoutMs, l.replyWait, l.checkStation,
                  l.queueSize, l.requestDeadlineMs, l.retries, l.demoteAfter, l.demoteS, l.simSet, l.rs485,
                  l.rs485DelayBeforeUs, l.rs485DelayAfterUs);
}

}  // namespace

bool LoadChecked(const std::string& path, IDeviceDriver* parser, GatewayConfig* config, LinePlan* plan,
                 std::vector<std::string>* problems) {
  return LoadConfig(path, config, problems) && BuildPlan(*config, parser, plan, problems);
}

bool KeepsLine(const GatewayConfig& running, const GatewayConfig& next) {
  if (LineKeys(running.line) != LineKeys(next.line)) return false;
  if (running.stations.size() != next.stations.size()) return false;
  for (size_t i = 0; i < running.stations.size(); ++i) {
    if (running.stations[i].number != next.stations[i].number) return false;
  }
  return true;
}

}  // namespace qvgateway
