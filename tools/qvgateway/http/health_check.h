// /healthz for a supervisor or a load balancer: 200 while the port is
// open and at least one station answers, 503 otherwise, the reason in
// JSON either way.
#pragma once

#include <string>
#include <vector>

#include "tools/qvgateway/http/http_server.h"
#include "tools/qvgateway/line/line_owner.h"
#include "tools/qvgateway/line/plan.h"

namespace qvgateway {

struct StationLook {
  int number = 0;
  bool answers = false;  // its last transaction went well and it is not demoted
  int lastError = -1;
};

HttpReply HealthReply(bool lineUp, const std::vector<StationLook>& stations);
HttpReply Healthz(const LinePlan& plan, const LineOwner& owner);

}  // namespace qvgateway
