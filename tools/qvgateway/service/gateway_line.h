// The line side of a running gateway: the simulator for port = "sim", the
// driver objects' settings and trace, and the line owner. It outlives a
// reload that keeps [line] and the station numbers; any other reload
// closes it and opens a new one.
#pragma once

#include <memory>
#include <string>

#include "tools/host/driver_module.h"
#include "tools/host/object_settings.h"
#include "tools/host/setting_warnings.h"
#include "tools/host/trace_forward.h"
#include "tools/qvgateway/config/config.h"
#include "tools/qvgateway/line/line_owner.h"
#include "tools/qvgateway/line/plan.h"

namespace qvgateway {

class GatewayLine {
 public:
  GatewayLine() = default;
  ~GatewayLine() { Close(); }
  GatewayLine(const GatewayLine&) = delete;
  GatewayLine& operator=(const GatewayLine&) = delete;

  // Starts the simulator or names the port, makes the driver objects and
  // opens the port. False with why; `badConfig` when the file is to blame
  // (a port name the driver cannot take).
  bool Open(const GatewayConfig& config, LinePlan& plan, qvhost::DriverModule& module, bool trace,
            std::string* error, bool* badConfig);
  LineOwner& owner() { return *owner_; }
  const std::string& device() const { return device_; }
  // Finishes the transaction on the line and closes the port; stops the
  // simulator. Safe to call more than once.
  void Close();

 private:
  std::string device_;
  qvhost::ObjectSettings settings_;
  qvhost::TraceForward forward_;
  qvhost::SettingWarnings warnings_;
  std::unique_ptr<LineOwner> owner_;
  bool simulator_ = false;
};

}  // namespace qvgateway
