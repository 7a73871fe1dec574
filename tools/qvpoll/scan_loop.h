// The run: the writes once, in the order typed, then the scans; rows and
// transactions go to the report as they happen.
#pragma once

#include <string>

#include "tools/qvpoll/options.h"
#include "tools/qvpoll/plan.h"
#include "tools/qvpoll/report.h"
#include "tools/qvpoll/session.h"

namespace qvpoll {

struct RunResult {
  int scans = 0;
  std::string stopped;  // why the run ended early; empty when it did not
};

RunResult Run(Session& session, Plan& plan, const Options& options, Report& report);

}  // namespace qvpoll
