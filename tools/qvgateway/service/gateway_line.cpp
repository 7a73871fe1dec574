#include "tools/qvgateway/service/gateway_line.h"

#include <stdlib.h>

#include <vector>

#include "tools/host/port_probe.h"
#include "tools/host/sim_launcher.h"
#include "tools/qvgateway/service/gateway_log.h"

namespace qvgateway {
namespace {

// The station check as the file says, or on for several stations.
qvhost::StationCheck Check(const GatewayConfig& config) {
  const bool check = config.line.checkStation < 0 ? config.stations.size() > 1 : config.line.checkStation == 1;
  return check ? qvhost::StationCheck::On : qvhost::StationCheck::Off;
}

// The file's choice, off unless it says otherwise: the machine's own
// values never mix into the line the file describes.
qvhost::ObjectValues Rs485Values(const LineConfig& line) {
  return {{"RS485", line.rs485},
          {"RS485DelayBeforeUs", std::to_string(line.rs485DelayBeforeUs)},
          {"RS485DelayAfterUs", std::to_string(line.rs485DelayAfterUs)}};
}

std::vector<std::string> SimulatorArguments(const GatewayConfig& config) {
  std::vector<std::string> args;
  for (const auto& s : config.stations) args.insert(args.end(), {"--station", std::to_string(s.number)});
  for (const auto& set : config.line.simSet) args.insert(args.end(), {"--set", set});
  return args;
}

}  // namespace

bool GatewayLine::Open(const GatewayConfig& config, LinePlan& plan, qvhost::DriverModule& module, bool trace,
                       std::string* error, bool* badConfig) {
  *badConfig = false;
  device_ = config.line.port;
  std::string note;
  if (device_ == "sim") {
    if (!qvhost::StartSimulator(SimulatorArguments(config), &device_, error)) return false;
    simulator_ = true;
  } else if (!qvhost::DriverPortName(device_, &device_, &note, error)) {
    *error = "line.port: " + *error;
    *badConfig = true;
    return false;
  }
  // The reply wait is this process's driver setting; the station check,
  // RS-485 switching and the objects' own trace are put in place only
  // while they are made.
  if (config.line.replyWait.empty()) {
    unsetenv("QUORVALEND_REPLY_WAIT");
  } else {
    setenv("QUORVALEND_REPLY_WAIT", config.line.replyWait.c_str(), 1);
  }
  if (!settings_.Begin(Check(config), error, Rs485Values(config.line))) return false;
  owner_ = std::make_unique<LineOwner>(config, plan, module, device_);
  const bool made = owner_->Create(error);
  settings_.ObjectsMade();
  if (!made) return false;
  std::string problem;
  if (!forward_.Open(settings_.User(), trace, &problem)) {
    LogEvent(Severity::Warning, qvhost::TraceNotOpened(settings_.User(), problem));
  }
  // Read on the line owner's thread, after each driver call.
  owner_->session().ReadTrace(settings_.PrivateTrace(), [this](const std::vector<std::string>& lines) {
    forward_.Write(lines);
    for (const std::string& warning : warnings_.Check(lines)) LogEvent(Severity::Warning, warning);
  });
  owner_->session().FlushTrace();
  // The session says when the line is lost and when it is back.
  owner_->session().OnLineEvent([](const std::string& event) {
    LogEvent(event.rfind("line back", 0) == 0 ? Severity::Notice : Severity::Warning, event);
  });
  if (!owner_->Start(error)) {
    // The host names the port as qvpoll's option; here it is a key.
    if (error->rfind("--port ", 0) == 0) *error = "line.port " + error->substr(7);
    return false;
  }
  return true;
}

void GatewayLine::Close() {
  if (owner_ != nullptr) owner_->Stop();
  owner_.reset();
  if (simulator_) qvhost::StopSimulator();
  simulator_ = false;
}

}  // namespace qvgateway
