#include "tools/qvgateway/service/gateway_sides.h"

#include "tools/qvgateway/http/health_check.h"
#include "tools/qvgateway/http/metrics_page.h"
#include "tools/qvgateway/http/status_page.h"
#include "tools/host/timestamps.h"
#include "tools/qvgateway/sparkplug/sparkplug_metrics.h"

namespace qvgateway {

GatewaySides::GatewaySides(const GatewayConfig& config, const LinePlan& plan, LineOwner& owner)
    : config_(config),
      owner_(owner),
      modbus_(config, plan, owner),
      mqtt_(config, plan, owner),
      sparkplug_(config, plan, owner),
      http_(config.http),
      lastMinute_(60000, SteadyMs(), owner.BusyMs()) {
  const MqttAdapter* broker = config.mqtt.enabled ? &mqtt_ : nullptr;
  http_.Add("/healthz", [&plan, &owner, broker] { return Healthz(plan, owner, broker); });
  http_.Add("/metrics", [this, &plan, &owner] {
    HttpReply reply = MetricsReply(plan, owner, modbus_, config_.mqtt.enabled ? &mqtt_ : nullptr, lastMinute_);
    if (config_.sparkplug.enabled) reply.body += SparkplugMetrics(sparkplug_.Look(), !config_.sparkplug.bufferDir.empty(), qvhost::NowUnixMs());
    return reply;
  });
  AddStatusPage(http_, config, plan, owner, utilisation_, broker, config.sparkplug.enabled ? &sparkplug_ : nullptr);
}

bool GatewaySides::Start(std::string* error) {
  if (!modbus_.Listen(error)) return false;
  if (config_.mqtt.enabled && !mqtt_.Start(error)) {
    modbus_.Shutdown();
    return false;
  }
  if (config_.sparkplug.enabled && !sparkplug_.Start(error)) {
    modbus_.Shutdown();
    mqtt_.Stop();
    return false;
  }
  if (config_.http.enabled) {
    utilisation_.Start([this] { return owner_.BusyMs(); });
    if (!http_.Start(error)) {
      Stop();
      return false;
    }
  }
  return true;
}

std::string GatewaySides::Describe() const {
  return "Modbus TCP on " + config_.modbus.host + ":" + std::to_string(modbus_.Port()) +
         (config_.mqtt.enabled ? ", MQTT to " + config_.mqtt.host + ":" + std::to_string(config_.mqtt.port) +
                                     " under " + config_.mqtt.prefix
                               : std::string()) +
         (config_.sparkplug.enabled ? ", Sparkplug edge node " + config_.sparkplug.groupId + "/" +
                                          config_.sparkplug.edgeNodeId + " to " + config_.sparkplug.broker.host + ":" +
                                          std::to_string(config_.sparkplug.broker.port)
                                    : std::string()) +
         (config_.http.enabled ? ", HTTP on " + config_.http.host + ":" + std::to_string(http_.Port())
                               : std::string());
}

void GatewaySides::StopBeforeLine() {
  mqtt_.StopWrites();
  sparkplug_.StopWrites();
  http_.Stop();
  utilisation_.Stop();
}

void GatewaySides::StopAfterLine() {
  modbus_.Shutdown();
  mqtt_.Stop();
  sparkplug_.Stop();
}

}  // namespace qvgateway
