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
#include "tools/host/object_settings.h"
#include "tools/host/port_probe.h"
#include "tools/host/setting_warnings.h"
#include "tools/host/trace_forward.h"

namespace {

constexpr int kAllGood = 0, kSomeFailed = 1, kBadUsage = 2, kOutputFailed = 3, kInterrupted = 130;

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

qvhost::LineRequest Line(const qvpoll::Options& options, const std::string& device) {
  qvhost::LineRequest line;
  line.port = device;
  line.baud = options.baud;
  line.dataBits = options.dataBits;
  line.parity = options.parity;
  line.stopBits = options.stopBits;
  return line;
}

// --version: this program, and the driver it would use.
int Version(qvhost::DriverModule& module, const qvpoll::Options& options) {
  qvhost::WriteText(qvhost::Stream::Out, "qvpoll " QUORVALEND_VERSION_TEXT "\n");
  std::string error;
  if (!module.Load(options.module, &error)) return Refuse(error);
  qvhost::WriteText(qvhost::Stream::Out, module.Describe() + "\n");
  return kAllGood;
}

const char* FormatName(qvpoll::Format format) {
  return format == qvpoll::Format::Csv ? "csv" : format == qvpoll::Format::Json ? "json" : "table";
}

// Whether a file that starts with `first` holds rows of `format`: CSV
// starts with its header, JSON with an object, a table with its header or
// a row (a quiet run has no header).
bool AppendsAlike(qvpoll::Format format, const std::string& first) {
  const bool csv = first.compare(0, 13, "scan,station,") == 0;
  const bool json = !first.empty() && first[0] == '{';
  if (format == qvpoll::Format::Csv) return csv || (!json && first.find(',') != std::string::npos);
  if (format == qvpoll::Format::Json) return json;
  return !csv && !json;
}

qvhost::StationCheck Check(const qvpoll::Options& options) {
  if (options.checkStation < 0) return qvhost::StationCheck::Machine;
  return options.checkStation > 0 ? qvhost::StationCheck::On : qvhost::StationCheck::Off;
}

// The run's own RS-485 choice, complete, so that none of the machine's
// values mixes into it; none at all leaves the machine's.
qvhost::ObjectValues Rs485Values(const qvpoll::Options& options) {
  if (options.rs485.empty()) return {};
  return {{"RS485", options.rs485},
          {"RS485DelayBeforeUs", std::to_string(options.rs485DelayBeforeUs)},
          {"RS485DelayAfterUs", std::to_string(options.rs485DelayAfterUs)}};
}

}  // namespace

int main(int argc, char** argv) {
  qvpoll::Options options;
  const int status = qvpoll::ParseOptions(argc, argv, &options);
  if (status >= 0) return status;

  std::string error;
  qvhost::DriverModule module;
  if (options.version) return Version(module, options);
  // The port as the driver is to be given it, before anything is made.
  std::string device = options.port, note;
  if (!options.sim && !qvhost::DriverPortName(options.port, &device, &note, &error)) return Refuse(error);
  if (options.trace && !note.empty()) qvpoll::Complain(note);

  // In place while the driver objects are made, which read their settings
  // then; put back at once.
  qvhost::ObjectSettings settings;
  qvhost::Session session;
  if (!settings.Begin(Check(options), &error, Rs485Values(options))) return Refuse(error);
  const std::vector<int> objects = options.scan ? std::vector<int>{0} : options.stations;
  const bool made = module.Load(options.module, &error) && session.Create(module, objects, &error);
  settings.ObjectsMade();
  if (!made) return Refuse(error);

  // The objects' trace goes where the user's settings and -v say, and
  // tells this run why each transaction failed.
  qvhost::TraceForward forward;
  std::string problem;
  const qvhost::UserTrace& user = settings.User();
  if (!forward.Open(user, options.trace, &problem)) {
    qvpoll::Complain(qvhost::TraceNotOpened(user, problem));
  }
  qvhost::SettingWarnings warnings;
  session.ReadTrace(settings.PrivateTrace(), [&forward, &warnings](const std::vector<std::string>& lines) {
    forward.Write(lines);
    for (const std::string& warning : warnings.Check(lines)) qvpoll::Complain(warning);
  });
  session.FlushTrace();
  session.OnLineEvent([](const std::string& event) { qvpoll::Complain(event); });
  qvpoll::Hooks hooks;

  qvpoll::Plan plan;
  if (!options.scan && !qvpoll::BuildPlan(session.Parser(), options, &plan, &error)) return Refuse(error);
  qvpoll::RowOutput output;
  if (!output.Open(options.output, options.append, &error)) return Refuse(error);
  if (!output.Empty() && !AppendsAlike(options.format, output.FirstLine())) {
    return Refuse("--append " + options.output + ": the file holds rows of another format than --format " +
                  FormatName(options.format) + "; a file keeps one format, so name another file");
  }

  qvpoll::InstallSignalHandlers();
  if (options.sim && !qvhost::StartSimulator(SimulatorArguments(options), &device, &error)) return Refuse(error);
  if (options.scan) {
    const int found = qvpoll::ScanStations(session, options, device, hooks);
    qvhost::StopSimulator();
    return found;
  }
  if (!session.OpenLine(Line(options, device), options.timeoutMs, &error)) {
    qvhost::StopSimulator();
    return Refuse(error);
  }

  qvpoll::Report report(options.format, output, options.utc, options.quiet, qvhost::ShownWidth(options.type, false));
  report.Header();
  const qvpoll::RunResult result = qvpoll::Run(session, plan, options, report, hooks);
  report.Summary(result.scans, result.stopped);
  session.Close();
  session.FlushTrace();
  qvhost::StopSimulator();
  if (!output.Failure().empty()) {
    qvpoll::Complain("stopped: the rows could not be written: " + output.Failure());
    return kOutputFailed;
  }
  if (result.interrupted) return kInterrupted;
  return report.Failures() == 0 ? kAllGood : kSomeFailed;
}
