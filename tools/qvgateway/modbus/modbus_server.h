// The Modbus TCP side: a listener (libmodbus), one thread per client, each
// reading whole frames by their MBAP length (so that a frame of an unknown
// function is consumed whole, not half), answering in the order asked.
// Clients outside `allow`, or past max_clients, are closed at once.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/qvgateway/config/config.h"
#include "tools/qvgateway/line/line_owner.h"
#include "tools/qvgateway/modbus/modbus_metrics.h"
#include "tools/qvgateway/line/plan.h"
#include "tools/qvgateway/service/gateway_log.h"
#include "tools/qvgateway/service/refusal_log.h"

namespace qvgateway {

class ModbusServer {
 public:
  ModbusServer(const GatewayConfig& config, const LinePlan& plan, LineOwner& owner)
      : config_(config), plan_(plan), owner_(owner) {}
  ~ModbusServer();

  // Binds and listens; the port actually bound is Port(). False with why.
  bool Listen(std::string* error);
  int Port() const { return port_; }
  // Accepts and serves until `stop` is set.
  void Run(const std::atomic<bool>& stop);
  // Stops accepting; each client gets the answer in flight, then is closed.
  void Shutdown();
  // For /metrics: clients connected and refused, requests by outcome.
  const ModbusMetrics& Metrics() const { return metrics_; }

 private:
  struct Client {
    int fd = -1;
    std::string peer;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void Accept();
  void Serve(Client* client);
  void Reap();

  const GatewayConfig& config_;
  const LinePlan& plan_;
  LineOwner& owner_;
  void* listener_ = nullptr;  // the libmodbus context of the listening socket
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::mutex clientsMutex_;
  std::list<std::unique_ptr<Client>> clients_;
  ModbusMetrics metrics_;
  RefusalLog refusals_{[](const std::string& line) { LogEvent(Severity::Warning, line); }};
};

}  // namespace qvgateway
