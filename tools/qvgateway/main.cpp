// qvgateway: serves a controller line's registers to Modbus TCP, MQTT and
// HTTP clients, through the driver, loaded and used exactly as a data
// server does. Everything it can refuse (the file, the ranges, a plan the
// line cannot carry) it refuses before the line is touched; a file given
// again by SIGHUP is checked the same way before it replaces the running
// one.
#include <stdio.h>

#include <CLI/CLI.hpp>
#include <memory>
#include <string>
#include <vector>

#include "tools/host/driver_module.h"
#include "tools/qvgateway/config/config.h"
#include "tools/qvgateway/line/plan.h"
#include "tools/qvgateway/tags/tag_plan.h"
#include "tools/qvgateway/service/gateway_line.h"
#include "tools/qvgateway/service/gateway_log.h"
#include "tools/qvgateway/service/gateway_sides.h"
#include "tools/qvgateway/service/gateway_signals.h"
#include "tools/qvgateway/service/reload_check.h"
#include "tools/qvgateway/service/systemd_notify.h"

namespace {

constexpr int kStopped = 0, kFailed = 1, kBadConfig = 2;

struct Options {
  std::string config, checkConfig, file, module;
  bool trace = false, version = false;
};

// A running gateway's failure: in its log, with the time or the severity.
int Fail(const std::string& message, int status) {
  qvgateway::LogEvent(qvgateway::Severity::Error, message);
  return status;
}

// What a person at the command line is told: plain, on standard error.
int Tell(const std::string& message, int status) {
  fprintf(stderr, "qvgateway: %s\n", message.c_str());
  return status;
}

std::string Started(const qvgateway::GatewayConfig& config, const std::string& device,
                    const qvgateway::GatewaySides& sides) {
  const size_t stations = config.stations.size();
  return std::to_string(stations) + (stations == 1 ? " station on " : " stations on ") + device + ", " +
         sides.Describe();
}

// The configuration being served, and what serves it. The configuration
// and plan stay at one address for the line owner, which holds them; a
// reload that keeps the line moves new contents into them.
struct Running {
  std::unique_ptr<qvgateway::GatewayConfig> config;
  std::unique_ptr<qvgateway::LinePlan> plan;
  std::unique_ptr<qvgateway::GatewayLine> line;
  std::unique_ptr<qvgateway::GatewaySides> sides;
};

// Opens the line (unless kept) and starts the sides; the status to exit
// with when it cannot.
int Open(Running& r, qvhost::DriverModule& module, bool trace, bool keepLine) {
  std::string error;
  if (!keepLine) {
    r.line = std::make_unique<qvgateway::GatewayLine>();
    bool badConfig = false;
    if (!r.line->Open(*r.config, *r.plan, module, trace, &error, &badConfig)) {
      r.line.reset();
      return Fail(error, badConfig ? kBadConfig : kFailed);
    }
  }
  r.sides = std::make_unique<qvgateway::GatewaySides>(*r.config, *r.plan, r.line->owner());
  if (!r.sides->Start(&error)) {
    r.sides.reset();
    r.line.reset();
    return Fail(error, kFailed);
  }
  return kStopped;
}

void LogWarnings(const qvgateway::GatewayConfig& config) {
  for (const auto& w : qvgateway::ConfigWarnings(config)) qvgateway::LogEvent(qvgateway::Severity::Warning, w);
}

// SIGHUP: the file checked as --check-config does; refused, the running
// configuration stays. Accepted, the sides are stopped and made again;
// the line with them only where [line] or the stations changed. A reload
// that fails half-way (a Modbus port taken meanwhile, a line that no
// longer opens) ends the gateway with status 1, so that systemd starts it
// again with the file as it is, rather than leave a gateway that serves
// nothing. False then, with the status in `status`.
bool Reload(Running& r, const std::string& file, IDeviceDriver* parser, qvhost::DriverModule& module, bool trace,
            int* status) {
  qvgateway::NotifySystemd(qvgateway::ReloadingMessage(qvgateway::MonotonicUsec()));
  qvgateway::LogEvent("reloading " + file);
  auto config = std::make_unique<qvgateway::GatewayConfig>();
  auto plan = std::make_unique<qvgateway::LinePlan>();
  std::vector<std::string> problems;
  if (!qvgateway::LoadChecked(file, parser, config.get(), plan.get(), &problems)) {
    for (const auto& p : problems) qvgateway::LogEvent(qvgateway::Severity::Error, p);
    qvgateway::LogEvent(qvgateway::Severity::Warning, "reload refused: the running configuration stays");
    qvgateway::NotifySystemd(qvgateway::ReadyMessage("serving; the last reload was refused, see the log"));
    return true;
  }
  LogWarnings(*config);
  const bool keepLine = qvgateway::KeepsLine(*r.config, *config);
  r.sides.reset();
  if (keepLine) {
    r.line->owner().Replan([&] {
      *r.config = std::move(*config);
      *r.plan = std::move(*plan);
    });
  } else {
    r.line.reset();
    r.config = std::move(config);
    r.plan = std::move(plan);
  }
  if (Open(r, module, trace, keepLine) != kStopped) {
    *status = kFailed;
    qvgateway::LogEvent(qvgateway::Severity::Error, "reload failed half-way: exiting, for the service manager to "
                                                    "start the gateway again");
    return false;
  }
  qvgateway::LogEvent(std::string(keepLine ? "reloaded: the port stayed open; " : "reloaded: the port was reopened; ") +
                      Started(*r.config, r.line->device(), *r.sides));
  qvgateway::NotifySystemd(qvgateway::ReadyMessage("serving"));
  return true;
}

int Serve(Running& r, const std::string& file, IDeviceDriver* parser, qvhost::DriverModule& module, bool trace) {
  LogWarnings(*r.config);
  int status = Open(r, module, trace, false);
  if (status != kStopped) return status;
  qvgateway::LogEvent("started: " + Started(*r.config, r.line->device(), *r.sides));
  qvgateway::NotifySystemd(qvgateway::ReadyMessage("serving"));
  for (;;) {
    r.sides->Serve(qvgateway::AttentionRequested());
    if (qvgateway::StopRequested()) break;
    if (qvgateway::TakeReload() && !Reload(r, file, parser, module, trace, &status)) return status;
  }
  qvgateway::NotifySystemd(qvgateway::StoppingMessage());
  qvgateway::LogEvent("stopping: no new clients; the transaction on the line finishes");
  r.sides->StopBeforeLine();
  r.line->owner().Stop();
  r.sides->StopAfterLine();
  r.sides.reset();
  r.line.reset();
  qvgateway::LogEvent("stopped: port closed");
  return kStopped;
}

int Version(qvhost::DriverModule& module, const std::string& modulePath) {
  printf("qvgateway %s\n", QUORVALEND_VERSION_TEXT);
  std::string error;
  if (!module.Load(modulePath, &error)) return Tell(error, kFailed);
  printf("%s\n", module.Describe().c_str());
  return kStopped;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{"Serves a controller line's registers to Modbus TCP, MQTT and HTTP clients through the Quorvalend "
               "driver."};
  auto* positional = app.add_option("FILE", o.file, "run with this TOML file (the same as --config FILE)")
                         ->type_name("");
  auto* run = app.add_option("--config", o.config, "run with this TOML file")->type_name("FILE");
  auto* check = app.add_option("--check-config", o.checkConfig,
                               "check FILE and print the poll plan and the line's utilisation; the line is not touched")
                    ->type_name("FILE");
  run->excludes(check);
  positional->excludes(run)->excludes(check);
  app.add_option("--module", o.module, "the driver module (default: Quorvalend.so beside this program, else in "
                 "../lib/<multiarch>/quorvalend/ from it, as the package installs it)")
      ->type_name("PATH");
  app.add_flag("-v,--trace", o.trace, "the driver's trace on standard error");
  app.add_flag("--version", o.version, "qvgateway's version, and the driver module's it would load");
  app.footer("Signals: SIGTERM or SIGINT stops (a second one at once); SIGHUP reads the file again and applies it "
             "when it passes --check-config.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? 0 : kBadConfig;
  }
  qvhost::DriverModule module;
  if (o.version) return Version(module, o.module);
  if (!o.file.empty()) o.config = o.file;
  const std::string file = o.config.empty() ? o.checkConfig : o.config;
  if (file.empty()) {
    return Tell("give FILE or --config FILE to run, or --check-config FILE to check (--help)", kBadConfig);
  }
  const bool checking = !o.checkConfig.empty();
  qvgateway::InstallStopSignals();

  // Problems of the file go to a person for --check-config, to the log
  // when the gateway runs.
  const auto problem = [checking](const std::string& text) {
    if (checking) {
      Tell(text, kBadConfig);
    } else {
      qvgateway::LogEvent(qvgateway::Severity::Error, text);
    }
  };
  Running r;
  r.config = std::make_unique<qvgateway::GatewayConfig>();
  r.plan = std::make_unique<qvgateway::LinePlan>();
  std::vector<std::string> problems;
  if (!qvgateway::LoadConfig(file, r.config.get(), &problems)) {
    for (const auto& p : problems) problem(p);
    return kBadConfig;
  }
  std::string error;
  if (!module.Load(o.module, &error)) return checking ? Tell(error, kFailed) : Fail(error, kFailed);
  auto parser = module.Create(&error);
  if (parser == nullptr) return checking ? Tell(error, kFailed) : Fail(error, kFailed);
  if (!qvgateway::BuildPlan(*r.config, parser->driver, r.plan.get(), &problems)) {
    for (const auto& p : problems) problem(p);
    return kBadConfig;
  }
  if (checking) {
    fputs(qvgateway::DescribePlan(*r.config, *r.plan).c_str(), stdout);
    fputs(qvgateway::DescribeScanClasses(*r.config, *r.plan).c_str(), stdout);
    fflush(stdout);
    for (const auto& w : qvgateway::ConfigWarnings(*r.config)) fprintf(stderr, "qvgateway: warning: %s\n", w.c_str());
    // After the plan, so that the rest of the file can still be judged.
    const std::string port = qvgateway::MissingPortProblem(*r.config);
    if (!port.empty()) return Tell(port, kBadConfig);
    return 0;
  }
  return Serve(r, file, parser->driver, module, o.trace);
}
