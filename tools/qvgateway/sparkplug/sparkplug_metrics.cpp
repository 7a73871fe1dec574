#include "tools/qvgateway/sparkplug/sparkplug_metrics.h"

#include "tools/qvgateway/http/metrics.h"

namespace qvgateway {

std::string SparkplugMetrics(const SparkplugLook& look, bool buffered, int64_t unixNow) {
  MetricsText m;
  m.Family(MetricType::Gauge, "sparkplug_connected", "1 while the Sparkplug edge node is connected to its broker.");
  m.Sample({}, look.connected);
  m.Family(MetricType::Gauge, "sparkplug_online",
           "1 while the edge node is born (NBIRTH said) and publishing: connected, and its primary host online.");
  m.Sample({}, look.born);
  m.Family(MetricType::Gauge, "sparkplug_bdseq", "The birth/death sequence number of the current or next NBIRTH.");
  m.Sample({}, static_cast<double>(look.bdSeq));
  if (!buffered) {
    m.Family(MetricType::Counter, "sparkplug_folded",
             "Tag changes never published while the broker or the primary host was away (no buffer_dir: only "
             "the latest state waits, for the births).");
    m.Sample({}, static_cast<double>(look.folded));
    return m.Text();
  }
  m.Family(MetricType::Gauge, "sparkplug_buffer_depth", "Changes in the store-and-forward buffer, not yet acknowledged.");
  m.Sample({}, static_cast<double>(look.depth));
  m.Family(MetricType::Gauge, "sparkplug_buffer_bytes", "Bytes the store-and-forward buffer holds on disk.");
  m.Sample({}, static_cast<double>(look.bytes));
  m.Family(MetricType::Gauge, "sparkplug_buffer_age_seconds",
           "Age of the oldest change in the buffer; 0 when it is empty.");
  m.Sample({}, look.oldestUnixMs < 0 ? 0.0 : static_cast<double>(unixNow - look.oldestUnixMs) / 1000.0);
  m.Family(MetricType::Counter, "sparkplug_buffered", "Changes written to the buffer since the start.");
  m.Sample({}, static_cast<double>(look.buffered));
  m.Family(MetricType::Counter, "sparkplug_replayed", "Buffered changes replayed as historical data and acknowledged.");
  m.Sample({}, static_cast<double>(look.replayed));
  m.Family(MetricType::Counter, "sparkplug_buffer_dropped",
           "Changes dropped, the oldest first, to keep the buffer within buffer_max_mb.");
  m.Sample({}, static_cast<double>(look.dropped));
  return m.Text();
}

}  // namespace qvgateway
