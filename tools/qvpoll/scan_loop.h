// The run: the writes once, in the order typed, then the scans; rows and
// transactions go to the report as they happen.
#pragma once

#include <functional>
#include <string>

#include "tools/qvpoll/options.h"
#include "tools/qvpoll/plan.h"
#include "tools/qvpoll/report.h"
#include "tools/host/session.h"

namespace qvpoll {

struct RunResult {
  int scans = 0;
  std::string stopped;  // why the run ended early; empty when it did not
  bool interrupted = false;
  bool outputFailed = false;
};

// What the run does beside the line: copy new trace lines out after each
// transaction (Windows, where the driver's trace goes to a file).
struct Hooks {
  std::function<void()> afterTransaction;
};

RunResult Run(qvhost::Session& session, Plan& plan, const Options& options, Report& report, const Hooks& hooks = {});

}  // namespace qvpoll
