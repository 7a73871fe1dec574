// The store-and-forward side of the scan thread: each change written to
// the buffer, removed once the broker acknowledged the message carrying
// it, and what is left replayed after the births, in order, flagged
// historical, before live data resumes.
#include <algorithm>

#include "tools/host/timestamps.h"
#include "tools/qvgateway/service/gateway_log.h"
#include "tools/qvgateway/sparkplug/buffered_change.h"
#include "tools/qvgateway/sparkplug/sparkplug_adapter.h"

namespace qvgateway {
namespace {

constexpr size_t kReplayBatch = 500;  // metrics in one historical DDATA

}  // namespace

void SparkplugAdapter::Record(size_t metric, const TagReading& reading) {
  if (!buffer_->Append(reading.unixMs, EncodeChange(metrics_[metric].tag->name, reading))) {
    // Said once until a write succeeds again: a full disk fails every one.
    if (!writeFailSaid_) {
      LogEvent(Severity::Error, "Sparkplug buffer in " + sp_.bufferDir +
                                    " cannot be written (is the disk full?): changes are lost until it can");
    }
    writeFailSaid_ = true;
    return;
  }
  writeFailSaid_ = false;
  std::lock_guard<std::mutex> lock(lookMutex_);
  look_.buffered++;
}

void SparkplugAdapter::Acknowledged() {
  std::vector<int> acks;
  {
    std::lock_guard<std::mutex> lock(ackMutex_);
    acks.swap(acks_);
  }
  for (int mid : acks) flights_.Acknowledged(mid);
  const FlightBook::Landed landed = flights_.TakeLanded();
  if (buffer_ && landed.records > 0) buffer_->Consume(landed.records);
  if (buffer_ && replaying_ && buffer_->Depth() == 0) {
    buffer_->Clear();
    replaying_ = false;
    dropSaid_ = false;
    LogEvent("Sparkplug buffer replayed: live data resumes");
  }
  if (landed.historical == 0) return;
  std::lock_guard<std::mutex> lock(lookMutex_);
  look_.replayed += landed.historical;
}

void SparkplugAdapter::Replay() {
  const int64_t unixNow = qvhost::NowUnixMs();
  while (Room() && flights_.Records() < buffer_->Depth()) {
    const size_t sent = flights_.Records();
    const std::vector<BufferedRecord> records = buffer_->Peek(sent + kReplayBatch);
    if (records.size() <= sent) break;
    // One DDATA per run of one device's changes.
    std::vector<MetricOut> out;
    size_t device = devices_.size(), n = 0;
    for (size_t i = sent; i < records.size(); ++i) {
      std::string name;
      TagReading reading;
      auto found = DecodeChange(records[i].bytes, &name, &reading) ? metricByName_.find(name) : metricByName_.end();
      if (found == metricByName_.end()) {
        ++n;  // a tag this file no longer names, or a record of another version: skipped
        continue;
      }
      const Metric& metric = metrics_[found->second];
      if (device != devices_.size() && metric.device != device) break;
      device = metric.device;
      reading.unixMs = records[i].unixMs;
      MetricOut m = TagMetric(*metric.tag, metric.alias, reading, false);
      m.historical = true;
      out.push_back(m);
      ++n;
    }
    int mid = -1;  // none: every record skipped
    if (!out.empty()) {
      mid = Publish(topics_.Device("DDATA", devices_[device].name), EncodePayload(unixNow, node_.Next(), out), 1);
      if (mid < 0) break;
    }
    if (!replaying_) LogEvent("Sparkplug: replaying " + std::to_string(buffer_->Depth()) + " buffered changes");
    replaying_ = true;
    flights_.Sent(mid, n, true);
  }
}

}  // namespace qvgateway
