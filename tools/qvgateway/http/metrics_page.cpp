#include "tools/qvgateway/http/metrics_page.h"

#include <cmath>
#include <limits>
#include <string>

#include "tools/qvgateway/http/metrics.h"

namespace qvgateway {
namespace {

void LineFamilies(MetricsText& m, const LinePlan& plan, const LineOwner& owner, BusyWindow& utilisation) {
  const size_t n = plan.stations.size();
  std::vector<StationHealth> health(n);
  bool lineUp = false;
  for (size_t i = 0; i < n; ++i) health[i] = owner.Health(i, &lineUp);
  auto station = [&plan](size_t i) { return std::to_string(plan.stations[i]->config->number); };
  const LineMetrics& line = owner.Metrics();

  m.Family(MetricType::Counter, "transactions",
           "Driver transactions on the line by station and outcome: ok, timeout (code 5), bad_reply (refused or "
           "garbled, code 6), error (any other driver code). A lost port's attempts are not counted.");
  for (size_t i = 0; i < n; ++i) {
    for (int o = 0; o < kTransactionOutcomes; ++o) {
      const auto outcome = static_cast<TransactionOutcome>(o);
      m.Sample({{"station", station(i)}, {"outcome", OutcomeLabel(outcome)}},
               static_cast<double>(line.Transactions(i, outcome)));
    }
  }
  m.Family(MetricType::Histogram, "transaction_seconds",
           "Time of each driver transaction, request sent to reply checked or time-out, by station.");
  for (size_t i = 0; i < n; ++i) m.Sample({{"station", station(i)}}, line.Times(i));

  m.Family(MetricType::Gauge, "station_up", "1 while the station's last transaction was good, it is not demoted "
                                            "and the port is open.");
  for (size_t i = 0; i < n; ++i) m.Sample({{"station", station(i)}}, lineUp && health[i].lastGood && !health[i].demoted);
  m.Family(MetricType::Gauge, "station_demoted",
           "1 while the station is demoted after time-outs in a row: its requests are answered at once, and one probe "
           "a demotion period tries it again.");
  for (size_t i = 0; i < n; ++i) m.Sample({{"station", station(i)}}, health[i].demoted);
  m.Family(MetricType::Gauge, "oldest_value_age_seconds",
           "Age of the station's oldest cached value that is good; +Inf when none of its readable registers holds "
           "a good value.");
  const int64_t now = SteadyMs();
  for (size_t i = 0; i < n; ++i) {
    if (plan.stations[i]->blocks.empty()) continue;  // nothing to read
    const int64_t age = owner.Cache(i).OldestAgeMs(plan.stations[i]->rules.readable, now);
    m.Sample({{"station", station(i)}}, age < 0 ? std::numeric_limits<double>::infinity() : age / 1000.0);
  }
  m.Family(MetricType::Counter, "requests_dropped",
           "Client requests dropped before the line: the client left, or the request waited past "
           "request_deadline_ms.");
  for (size_t i = 0; i < n; ++i) m.Sample({{"station", station(i)}}, health[i].dropped);

  const double busyMs = owner.BusyMs();
  m.Family(MetricType::Counter, "line_busy_seconds", "Time the line spent in transactions, summed.");
  m.Sample({}, std::round(busyMs * 1000) / 1e6);  // to the microsecond, as the histogram sums
  m.Family(MetricType::Gauge, "line_utilisation_ratio",
           "Share of the last minute (since the start while younger) the line was busy with transactions, 0..1.");
  m.Sample({}, utilisation.Share(now, busyMs));
  m.Family(MetricType::Gauge, "port_open", "1 while the serial port is open.");
  m.Sample({}, lineUp);
  m.Family(MetricType::Counter, "port_lost", "Times the serial port went away (an unplugged adapter).");
  m.Sample({}, static_cast<double>(line.portLost.Value()));
  m.Family(MetricType::Gauge, "queue_depth", "Client requests waiting for the line.");
  m.Sample({}, static_cast<double>(owner.QueuedClientRequests()));
  m.Family(MetricType::Counter, "queue_full",
           "Client requests refused at once (Modbus exception 0x06) because the queue was full.");
  m.Sample({}, static_cast<double>(line.queueFull.Value()));
}

void ModbusFamilies(MetricsText& m, const ModbusMetrics& modbus) {
  m.Family(MetricType::Gauge, "modbus_clients", "Modbus TCP clients connected.");
  m.Sample({}, modbus.clients.load());
  m.Family(MetricType::Counter, "modbus_clients_refused",
           "Modbus TCP connections closed at once: outside modbus.allow, or past modbus.max_clients.");
  m.Sample({}, static_cast<double>(modbus.refused.Value()));
  m.Family(MetricType::Counter, "modbus_requests",
           "Modbus requests by function code and outcome: ok, the exception code sent (0x01..0x0B), or no_reply "
           "(the client left before its answer).");
  for (int function = 0; function < 256; ++function) {
    for (int slot = 0; slot < ModbusMetrics::kSlots; ++slot) {
      const uint64_t count = modbus.Requests(function, slot);
      // The functions a client never sent stay out: 256 x 18 series of zeros.
      if (count == 0) continue;
      m.Sample({{"function", std::to_string(function)}, {"outcome", ModbusMetrics::SlotLabel(slot)}},
               static_cast<double>(count));
    }
  }
}

}  // namespace

HttpReply MetricsReply(const LinePlan& plan, const LineOwner& owner,
                       const ModbusServer& modbus, const MqttAdapter* mqtt, BusyWindow& utilisation) {
  MetricsText m;
  LineFamilies(m, plan, owner, utilisation);
  ModbusFamilies(m, modbus.Metrics());
  if (mqtt != nullptr) {
    m.Family(MetricType::Gauge, "mqtt_connected", "1 while the MQTT broker has the gateway connected.");
    m.Sample({}, mqtt->Connected());
    m.Family(MetricType::Counter, "mqtt_folded_updates",
             "Tag updates folded while the broker was gone: only each tag's latest state waited for it.");
    m.Sample({}, static_cast<double>(mqtt->Folded()));
  }
  HttpReply reply;
  reply.contentType = "text/plain; version=0.0.4; charset=utf-8";
  reply.body = m.Text();
  return reply;
}

}  // namespace qvgateway
