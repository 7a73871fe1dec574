// A gateway's file read and checked the one way, at start, for
// --check-config and on SIGHUP; and what a reload may leave running.
#pragma once

#include <string>
#include <vector>

#include "quorvalend/quorvalend.h"
#include "tools/qvgateway/config/config.h"
#include "tools/qvgateway/line/plan.h"

namespace qvgateway {

// The file and the plan it makes; false with one message per problem.
// `parser`: a driver object, as BuildPlan takes it.
bool LoadChecked(const std::string& path, IDeviceDriver* parser, GatewayConfig* config, LinePlan* plan,
                 std::vector<std::string>* problems);

// Whether `next` can be served by the line owner serving `running`, its
// port left open: every key of [line] alike, and the same station numbers
// in the same order (the driver objects are made per station).
bool KeepsLine(const GatewayConfig& running, const GatewayConfig& next);

}  // namespace qvgateway
