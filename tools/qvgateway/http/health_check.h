// /healthz for a supervisor or a load balancer: 200 only while every part
// the file configures works (the port open, every station answering, the
// MQTT broker connected when [mqtt] is set), 503 otherwise with the parts
// that are down named; the reason in JSON either way.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/qvgateway/http/broker_look.h"
#include "tools/qvgateway/http/http_server.h"
#include "tools/qvgateway/line/line_owner.h"
#include "tools/qvgateway/line/plan.h"

namespace qvgateway {

class MqttAdapter;

struct StationLook {
  int number = 0;
  bool answers = false;  // its last transaction went well and it is not demoted
  int lastError = -1;
};

BrokerLook LookAtBroker(const MqttAdapter* mqtt);

HttpReply HealthReply(bool lineUp, const std::vector<StationLook>& stations, const BrokerLook& broker = {});
// `mqtt`: null when the file has no [mqtt] table.
HttpReply Healthz(const LinePlan& plan, const LineOwner& owner, const MqttAdapter* mqtt = nullptr);

}  // namespace qvgateway
