// qvgateway: serves a controller line's registers to Modbus TCP clients,
// through the driver, loaded and used exactly as a data server does.
// Everything it can refuse (the file, the ranges, a plan the line cannot
// carry) it refuses before the line is touched.
#include <stdio.h>
#include <stdlib.h>

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "tools/host/driver_module.h"
#include "tools/host/sim_launcher.h"
#include "tools/host/object_settings.h"
#include "tools/host/port_probe.h"
#include "tools/host/setting_warnings.h"
#include "tools/host/trace_forward.h"
#include "tools/qvgateway/config/config.h"
#include "tools/qvgateway/service/gateway_log.h"
#include "tools/qvgateway/service/gateway_signals.h"
#include "tools/qvgateway/http/health_check.h"
#include "tools/qvgateway/http/http_server.h"
#include "tools/qvgateway/line/line_owner.h"
#include "tools/qvgateway/http/metrics_page.h"
#include "tools/qvgateway/line/line_utilisation.h"
#include "tools/qvgateway/modbus/modbus_server.h"
#include "tools/qvgateway/mqtt/mqtt_adapter.h"
#include "tools/qvgateway/line/plan.h"
#include "tools/qvgateway/tags/tag_plan.h"
#include "tools/qvgateway/http/status_page.h"

namespace {

constexpr int kStopped = 0, kFailed = 1, kBadConfig = 2;

struct Options {
  std::string config, checkConfig, module;
  bool trace = false;
};

int Fail(const std::string& message, int status) {
  fprintf(stderr, "qvgateway: %s\n", message.c_str());
  return status;
}

// The station check as the file says, or on for several stations.
qvhost::StationCheck Check(const qvgateway::GatewayConfig& config) {
  const bool check = config.line.checkStation < 0 ? config.stations.size() > 1 : config.line.checkStation == 1;
  return check ? qvhost::StationCheck::On : qvhost::StationCheck::Off;
}

std::vector<std::string> SimulatorArguments(const qvgateway::GatewayConfig& config) {
  std::vector<std::string> args;
  for (const auto& s : config.stations) args.insert(args.end(), {"--station", std::to_string(s.number)});
  for (const auto& set : config.line.simSet) args.insert(args.end(), {"--set", set});
  return args;
}

int Serve(const qvgateway::GatewayConfig& config, qvgateway::LinePlan& plan, qvhost::DriverModule& module,
          bool trace) {
  for (const auto& w : qvgateway::ConfigWarnings(config)) qvgateway::LogEvent("warning: " + w);
  std::string error, device = config.line.port, note;
  if (device == "sim") {
    if (!qvhost::StartSimulator(SimulatorArguments(config), &device, &error)) return Fail(error, kFailed);
  } else if (!qvhost::DriverPortName(device, &device, &note, &error)) {
    return Fail("line.port: " + error, kBadConfig);
  }
  // The reply wait is this process's driver setting; the station check and
  // the objects' own trace are put in place only while they are made.
  if (!config.line.replyWait.empty()) setenv("QUORVALEND_REPLY_WAIT", config.line.replyWait.c_str(), 1);
  qvhost::ObjectSettings settings;
  if (!settings.Begin(Check(config), &error)) return Fail(error, kFailed);
  qvgateway::LineOwner owner(config, plan, module, device);
  const bool made = owner.Create(&error);
  settings.ObjectsMade();
  if (!made) return Fail(error, kFailed);
  qvhost::TraceForward forward;
  std::string problem;
  if (!forward.Open(settings.User(), trace, &problem)) {
    qvgateway::LogEvent(qvhost::TraceNotOpened(settings.User(), problem));
  }
  // Read on the line owner's thread, after each driver call.
  qvhost::SettingWarnings warnings;
  owner.session().ReadTrace(settings.PrivateTrace(), [&forward, &warnings](const std::vector<std::string>& lines) {
    forward.Write(lines);
    for (const std::string& warning : warnings.Check(lines)) qvgateway::LogEvent(warning);
  });
  owner.session().FlushTrace();
  owner.session().OnLineEvent([](const std::string& event) { qvgateway::LogEvent(event); });
  if (!owner.Start(&error)) {
    qvhost::StopSimulator();
    // The host names the port as qvpoll's option; here it is a key.
    if (error.rfind("--port ", 0) == 0) error = "line.port " + error.substr(7);
    return Fail(error, kFailed);
  }
  qvgateway::ModbusServer server(config, plan, owner);
  if (!server.Listen(&error)) return Fail(error, kFailed);
  qvgateway::MqttAdapter mqtt(config, plan, owner);
  if (config.mqtt.enabled && !mqtt.Start(&error)) {
    owner.Stop();
    qvhost::StopSimulator();
    return Fail(error, kFailed);
  }
  qvgateway::LineUtilisation utilisation;
  if (config.http.enabled) utilisation.Start([&owner] { return owner.BusyMs(); });
  qvgateway::HttpServer http(config.http);
  const qvgateway::MqttAdapter* broker = config.mqtt.enabled ? &mqtt : nullptr;
  http.Add("/healthz", [&plan, &owner, broker] { return qvgateway::Healthz(plan, owner, broker); });
  qvgateway::BusyWindow lastMinute(60000, qvgateway::SteadyMs(), owner.BusyMs());
  http.Add("/metrics", [&] {
    return qvgateway::MetricsReply(plan, owner, server, config.mqtt.enabled ? &mqtt : nullptr, lastMinute);
  });
  qvgateway::AddStatusPage(http, config, plan, owner, utilisation, broker);
  if (config.http.enabled && !http.Start(&error)) {
    mqtt.Stop();
    owner.Stop();
    qvhost::StopSimulator();
    return Fail(error, kFailed);
  }
  const size_t stations = config.stations.size();
  qvgateway::LogEvent("started: " + std::to_string(stations) + (stations == 1 ? " station on " : " stations on ") +
                      device + ", Modbus TCP on " + config.modbus.host + ":" + std::to_string(server.Port()) +
                      (config.mqtt.enabled ? ", MQTT to " + config.mqtt.host + ":" +
                                                 std::to_string(config.mqtt.port) + " under " + config.mqtt.prefix
                                           : std::string()) +
                      (config.http.enabled ? ", HTTP on " + config.http.host + ":" + std::to_string(http.Port())
                                           : std::string()));
  server.Run(qvgateway::StopRequested());
  qvgateway::LogEvent("stopping: no new clients; the transaction on the line finishes");
  mqtt.StopWrites();
  http.Stop();
  utilisation.Stop();
  owner.Stop();
  server.Shutdown();
  mqtt.Stop();
  qvhost::StopSimulator();
  qvgateway::LogEvent("stopped: port closed");
  return kStopped;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{"Serves a controller line's registers to Modbus TCP clients through the Quorvalend driver."};
  auto* run = app.add_option("--config", o.config, "run with this TOML file")->type_name("FILE");
  auto* check = app.add_option("--check-config", o.checkConfig,
                               "check FILE and print the poll plan and the line's utilisation; the line is not touched")
                    ->type_name("FILE");
  run->excludes(check);
  app.add_option("--module", o.module, "the driver module (default: Quorvalend.so beside this program)")
      ->type_name("PATH");
  app.add_flag("-v,--trace", o.trace, "the driver's trace on standard error");
  app.set_version_flag("--version", "qvgateway " QUORVALEND_VERSION_TEXT);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? 0 : kBadConfig;
  }
  const std::string file = o.config.empty() ? o.checkConfig : o.config;
  if (file.empty()) return Fail("give --config FILE to run, or --check-config FILE to check (--help)", kBadConfig);
  qvgateway::InstallStopSignals();

  qvgateway::GatewayConfig config;
  std::vector<std::string> problems;
  if (!qvgateway::LoadConfig(file, &config, &problems)) {
    for (const auto& p : problems) fprintf(stderr, "qvgateway: %s\n", p.c_str());
    return kBadConfig;
  }
  std::string error;
  qvhost::DriverModule module;
  if (!module.Load(o.module, &error)) return Fail(error, kFailed);
  auto parser = module.Create(&error);
  if (parser == nullptr) return Fail(error, kFailed);
  qvgateway::LinePlan plan;
  if (!qvgateway::BuildPlan(config, parser->driver, &plan, &problems)) {
    for (const auto& p : problems) fprintf(stderr, "qvgateway: %s\n", p.c_str());
    return kBadConfig;
  }
  if (!o.checkConfig.empty()) {
    fputs(qvgateway::DescribePlan(config, plan).c_str(), stdout);
    fputs(qvgateway::DescribeScanClasses(config, plan).c_str(), stdout);
    fflush(stdout);
    for (const auto& w : qvgateway::ConfigWarnings(config)) fprintf(stderr, "qvgateway: warning: %s\n", w.c_str());
    // After the plan, so that the rest of the file can still be judged.
    const std::string port = qvgateway::MissingPortProblem(config);
    if (!port.empty()) return Fail(port, kBadConfig);
    return 0;
  }
  return Serve(config, plan, module, o.trace);
}
