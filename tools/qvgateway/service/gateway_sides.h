// The sides that face clients, made for one configuration and plan: the
// Modbus TCP server, the MQTT adapter, the Sparkplug edge node, the HTTP server and the line's
// utilisation behind it. A reload stops them and makes new ones.
#pragma once

#include <atomic>
#include <string>

#include "tools/qvgateway/config/config.h"
#include "tools/qvgateway/http/http_server.h"
#include "tools/qvgateway/line/busy_window.h"
#include "tools/qvgateway/line/line_owner.h"
#include "tools/qvgateway/line/line_utilisation.h"
#include "tools/qvgateway/line/plan.h"
#include "tools/qvgateway/modbus/modbus_server.h"
#include "tools/qvgateway/mqtt/mqtt_adapter.h"
#include "tools/qvgateway/sparkplug/sparkplug_adapter.h"

namespace qvgateway {

class GatewaySides {
 public:
  GatewaySides(const GatewayConfig& config, const LinePlan& plan, LineOwner& owner);
  ~GatewaySides() { Stop(); }
  GatewaySides(const GatewaySides&) = delete;
  GatewaySides& operator=(const GatewaySides&) = delete;

  // Listens, connects to the broker, serves HTTP; on a failure stops what
  // it started and says why.
  bool Start(std::string* error);
  // "Modbus TCP on 127.0.0.1:1502, MQTT to ..., HTTP on ...", as started.
  std::string Describe() const;
  // Serves Modbus clients until `attention` is set.
  void Serve(const std::atomic<bool>& attention) { modbus_.Run(attention); }
  // A stop is in two halves around the line owner's own: no new writes
  // and no HTTP first; then, once the line answered what waits, the
  // Modbus clients get their answers and the broker hears "offline".
  void StopBeforeLine();
  void StopAfterLine();
  // Both halves, the line running on (a reload): what is in flight is
  // answered by the line.
  void Stop() {
    StopBeforeLine();
    StopAfterLine();
  }

 private:
  const GatewayConfig& config_;
  LineOwner& owner_;
  ModbusServer modbus_;
  MqttAdapter mqtt_;
  SparkplugAdapter sparkplug_;
  LineUtilisation utilisation_;
  HttpServer http_;
  BusyWindow lastMinute_;
};

}  // namespace qvgateway
