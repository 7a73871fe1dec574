// qvpoll: polls controller registers through the Quorvalend driver exactly
// as a data server does. The commissioning engineer's first tool: it may
// be pointed at a live plant, so everything it can refuse it refuses
// before the line is touched.
#include <string>
#include <vector>

#include "tools/host/driver_module.h"
#include "tools/qvpoll/options.h"
#include "tools/qvpoll/plan.h"
#include "tools/qvpoll/report.h"
#include "tools/qvpoll/scan_loop.h"
#include "tools/host/session.h"
#include "tools/qvpoll/signals.h"
#include "tools/host/sim_launcher.h"
#include "tools/qvpoll/station_scan.h"
#include "tools/qvpoll/text_output.h"
#include "tools/host/trace_switch.h"

namespace {

constexpr int kAllGood = 0, kSomeFailed = 1, kBadUsage = 2;

int Refuse(const std::string& message) {
  qvpoll::Complain(message);
  return kBadUsage;
}

std::vector<std::string> SimulatorArguments(const qvpoll::Options& options) {
  std::vector<std::string> args;
  for (int station : options.simStations.empty() ? options.stations : options.simStations) {
    args.insert(args.end(), {"--station", std::to_string(station)});
  }
  for (const auto& set : options.simSets) args.insert(args.end(), {"--set", set});
  return args;
}

qvpoll::LineRequest Line(const qvpoll::Options& options, const std::string& device) {
  qvpoll::LineRequest line;
  line.port = device;
  line.baud = options.baud;
  line.dataBits = options.dataBits;
  line.parity = options.parity;
  line.stopBits = options.stopBits;
  return line;
}

// --version: this program, and the driver it would use.
int Version(qvpoll::DriverModule& module, const qvpoll::Options& options) {
  qvpoll::WriteText(qvpoll::Stream::Out, "qvpoll " QUORVALEND_VERSION_TEXT "\n");
  std::string error;
  if (!module.Load(options.module, &error)) return Refuse(error);
  qvpoll::WriteText(qvpoll::Stream::Out, module.Describe() + "\n");
  return kAllGood;
}

}  // namespace

int main(int argc, char** argv) {
  qvpoll::Options options;
  const int status = qvpoll::ParseOptions(argc, argv, &options);
  if (status >= 0) return status;

  std::string error;
  // Made before the driver objects, which read their settings when made,
  // and ended after them.
  qvpoll::TraceSwitch trace;
  qvpoll::DriverModule module;
  if (options.version) return Version(module, options);
  qvpoll::Session session;
  if (options.trace && !trace.Begin(&error)) return Refuse(error);
  const std::vector<int> objects = options.scan ? std::vector<int>{0} : options.stations;
  const bool made = module.Load(options.module, &error) && session.Create(module, objects, &error);
  trace.ObjectsMade();
  if (!made) return Refuse(error);
  qvpoll::Hooks hooks;
  hooks.afterTransaction = [&trace] { trace.Relay(); };

  qvpoll::Plan plan;
  if (!options.scan && !qvpoll::BuildPlan(session.Parser(), options, &plan, &error)) return Refuse(error);
  qvpoll::RowOutput output;
  if (!output.Open(options.output, options.append, &error)) return Refuse(error);

  qvpoll::InstallSignalHandlers();
  std::string device = options.port;
  if (options.sim && !qvpoll::StartSimulator(SimulatorArguments(options), &device, &error)) return Refuse(error);
  if (options.scan) {
    const int found = qvpoll::ScanStations(session, options, device, hooks);
    qvpoll::StopSimulator();
    return found;
  }
  if (!session.OpenLine(Line(options, device), options.timeoutMs, &error)) {
    qvpoll::StopSimulator();
    return Refuse(error);
  }

  qvpoll::Report report(options.format, output, options.utc, options.quiet);
  report.Header();
  const qvpoll::RunResult result = qvpoll::Run(session, plan, options, report, hooks);
  report.Summary(result.scans, result.stopped);
  session.Close();
  trace.Relay();
  qvpoll::StopSimulator();
  return report.Failures() == 0 ? kAllGood : kSomeFailed;
}
