// /metrics: what the line owner, the Modbus server and the MQTT adapter
// count, read without stopping any of them, in the Prometheus text format.
#pragma once

#include "tools/qvgateway/line/busy_window.h"
#include "tools/qvgateway/http/http_server.h"
#include "tools/qvgateway/line/line_owner.h"
#include "tools/qvgateway/modbus/modbus_server.h"
#include "tools/qvgateway/mqtt/mqtt_adapter.h"
#include "tools/qvgateway/line/plan.h"

namespace qvgateway {

// `mqtt`: null when the file has no [mqtt] table (its metrics are left
// out rather than shown as a broker never reached).
HttpReply MetricsReply(const LinePlan& plan, const LineOwner& owner,
                       const ModbusServer& modbus, const MqttAdapter* mqtt, BusyWindow& utilisation);

}  // namespace qvgateway
