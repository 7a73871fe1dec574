// The edge node's one scan thread: every message of the node goes out
// from here, so the sequence numbers are in the order the host receives
// them. With a buffer, every change is written to it first and removed
// only once the broker acknowledged the message that carried it: a lost
// connection, a stop or a crash leaves the rest to be replayed.
#include <mosquitto.h>

#include <math.h>

#include <algorithm>
#include <chrono>

#include "tools/host/timestamps.h"
#include "tools/qvgateway/service/gateway_log.h"
#include "tools/qvgateway/sparkplug/buffered_change.h"
#include "tools/qvgateway/sparkplug/sparkplug_adapter.h"

namespace qvgateway {
namespace {

// A change reaches the host within a poll, the wire time and this.
constexpr int kScanMs = 20;
constexpr int kSyncMs = 1000;
constexpr int kGoodbyeMs = 1000;
constexpr int kUtilisationMs = 10000;
constexpr uint64_t kRebirthAlias = 1, kPortOpenAlias = 2, kUtilisationAlias = 3;

}  // namespace

bool SparkplugAdapter::Live() const {
  return node_.Born() && !leaving_ && connected_ && Room() &&
         (!buffer_ || flights_.Records() == buffer_->Depth());
}

void SparkplugAdapter::RunScan() {
  int64_t syncDue = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    Scan();
    if (buffer_ && SteadyMs() >= syncDue) {
      buffer_->Sync();
      syncDue = SteadyMs() + kSyncMs;
    }
    const bool more = buffer_ && node_.Born() && !leaving_ && connected_ && Room() &&
                      flights_.Records() < buffer_->Depth();
    lock.lock();
    if (!more) wake_.wait_for(lock, std::chrono::milliseconds(kScanMs));
  }
  lock.unlock();
  // What is in flight gets a moment to be acknowledged, so that it is not
  // replayed after the restart as well.
  const int64_t until = SteadyMs() + kGoodbyeMs;
  while (!flights_.Empty() && connected_ && SteadyMs() < until) {
    Acknowledged();
    std::unique_lock<std::mutex> wait(mutex_);
    wake_.wait_for(wait, std::chrono::milliseconds(10));
  }
  Acknowledged();
  if (node_.Born() && connected_ && !leaving_) SayDeath();
  if (buffer_) {
    buffer_->Sync();
    if (buffer_->Depth() > 0) {
      LogEvent("Sparkplug: " + std::to_string(buffer_->Depth()) +
               " changes stay in the buffer, to be replayed after the next start");
    }
  }
}

void SparkplugAdapter::Scan() {
  // The network thread hands over a connection's acknowledgements before
  // it counts the connection as ended: read the count first, then take
  // them all, so that what reached the broker is not replayed again.
  const int connection = connection_;
  Acknowledged();
  if (connection != seenConnection_) ConnectionEnded();
  const int64_t steadyNow = SteadyMs(), unixNow = qvhost::NowUnixMs();
  const bool online = connected_ && hostOnline_;
  if (online && !node_.Born()) {
    Births(unixNow);
  } else if (node_.Born() && connected_ && !hostOnline_ && !leaving_) {
    LogEvent(Severity::Warning, "Sparkplug primary host " + sp_.primaryHostId +
                                    " is offline: NDEATH said, disconnecting" +
                                    (buffer_ ? "; every change is kept in the buffer until it is back" : ""));
    SayDeath();
    leaving_ = true;
    leave_ = true;
  }
  if (rebirth_.exchange(false) && node_.Born() && !leaving_) {
    LogEvent("Sparkplug: Rebirth asked by NCMD: NBIRTH and every DBIRTH again");
    Births(unixNow);
  }
  const bool speaking = node_.Born() && !leaving_ && connected_;
  std::vector<bool> alive(devices_.size());
  for (size_t d = 0; d < devices_.size(); ++d) {
    bool lineUp = false;
    const StationHealth health = owner_.Health(devices_[d].station, &lineUp);
    bool everyRead = true;
    for (size_t m : devices_[d].metrics) {
      const Metric& metric = metrics_[m];
      everyRead = everyRead && ReadTag(*metric.tag, owner_.Cache(devices_[d].station),
                                       plan_.stations[devices_[d].station]->config->maxAgeMs, steadyNow, unixNow)
                                   .readYet;
    }
    alive[d] = DeviceAlive(lineUp, health, everyRead);
    if (speaking && NextDeviceStep(devices_[d].announced, alive[d]) == DeviceStep::Birth) {
      DeviceBirth(devices_[d], steadyNow, unixNow);
    }
  }
  // Each tag against what was last published (or buffered), past its
  // deadband; a device that is not announced says nothing until its birth.
  const bool live = Live();
  const uint64_t droppedBefore = buffer_ ? buffer_->Dropped() : 0;
  std::vector<std::vector<MetricOut>> batches(devices_.size());
  for (size_t m = 0; m < metrics_.size(); ++m) {
    Metric& metric = metrics_[m];
    const Device& device = devices_[metric.device];
    if (!metric.everPublished || (node_.Born() && !device.announced)) continue;
    const TagReading reading = ReadTag(*metric.tag, owner_.Cache(device.station),
                                       plan_.stations[device.station]->config->maxAgeMs, steadyNow, unixNow);
    // Never read since the start: nothing the controller did.
    if (!reading.readYet) continue;
    if (!WorthPublishing(reading, metric.published, true, metric.tag->deadband)) continue;
    if (buffer_ || live) {
      if (buffer_) Record(m, reading);
      if (live) batches[metric.device].push_back(TagMetric(*metric.tag, metric.alias, reading, false));
      metric.published = reading;
    } else {
      // Without a buffer only the latest state waits (for the births).
      std::lock_guard<std::mutex> lock(lookMutex_);
      look_.folded++;
    }
  }
  if (buffer_ && buffer_->Dropped() > droppedBefore) {
    flights_.Dropped(buffer_->Dropped() - droppedBefore);
    if (!dropSaid_) {
      LogEvent(Severity::Warning, "Sparkplug buffer is full (buffer_max_mb = " + std::to_string(sp_.bufferMaxMb) +
                                      "): the oldest changes are dropped to keep the newest; " +
                                      "/metrics counts them");
      dropSaid_ = true;
    }
  }
  for (size_t d = 0; d < devices_.size(); ++d) {
    if (batches[d].empty()) continue;
    const std::string payload = EncodePayload(unixNow, node_.Next(), batches[d]);
    const int mid = Publish(topics_.Device("DDATA", devices_[d].name), payload, 1);
    // The connection is going: the buffer keeps this batch and the ones
    // after it (in the order they were written), replayed after the births.
    if (mid < 0) break;
    flights_.Sent(mid, buffer_ ? batches[d].size() : 0, false);
  }
  for (size_t d = 0; d < devices_.size(); ++d) {
    if (speaking && NextDeviceStep(devices_[d].announced, alive[d]) == DeviceStep::Death) {
      DeviceDeath(devices_[d], unixNow);
    }
  }
  if (speaking) {
    std::vector<MetricOut> node;
    NodeData(steadyNow, unixNow, false, &node);
    if (!node.empty()) Publish(topics_.Node("NDATA"), EncodePayload(unixNow, node_.Next(), node), 1);
  }
  if (buffer_ && speaking) Replay();
  std::lock_guard<std::mutex> lock(lookMutex_);
  look_.born = node_.Born() && !leaving_;
  look_.bdSeq = node_.BdSeq();
  if (buffer_) {
    look_.depth = buffer_->Depth();
    look_.bytes = buffer_->Bytes();
    look_.dropped = buffer_->Dropped();
    look_.oldestUnixMs = buffer_->OldestUnixMs();
  }
}

void SparkplugAdapter::Births(int64_t unixNow) {
  const int64_t steadyNow = SteadyMs();
  int64_t bdSeq = 0;
  {
    std::lock_guard<std::mutex> lock(nodeMutex_);
    node_.Birth();
    bdSeq = node_.BdSeq();
  }
  std::string error;
  if (!counterPath_.empty() && !WriteCounter(counterPath_, node_.NextBdSeq(), &error)) {
    LogEvent(Severity::Error, "Sparkplug: bdSeq cannot be kept in " + counterPath_ + ": " + error);
  }
  std::vector<MetricOut> metrics(2);
  metrics[0].name = "bdSeq";
  metrics[0].type = SparkplugType::Int64;
  metrics[0].integer = bdSeq;
  metrics[1].name = "Node Control/Rebirth";
  metrics[1].hasAlias = true;
  metrics[1].alias = kRebirthAlias;
  metrics[1].type = SparkplugType::Boolean;
  for (MetricOut& m : metrics) m.unixMs = unixNow;
  NodeData(steadyNow, unixNow, true, &metrics);
  Publish(topics_.Node("NBIRTH"), EncodePayload(unixNow, 0, metrics), 1);
  // Each alive device's DBIRTH follows in the same scan.
  for (Device& device : devices_) device.announced = false;
}

void SparkplugAdapter::NodeData(int64_t steadyNow, int64_t unixNow, bool birth, std::vector<MetricOut>* metrics) {
  bool lineUp = false;
  if (!plan_.stations.empty()) owner_.Health(0, &lineUp);
  MetricOut m;
  m.hasAlias = true;
  m.unixMs = unixNow;
  if (birth || lineUp != portOpen_) {
    m.name = birth ? "Line/Port Open" : "";
    m.alias = kPortOpenAlias;
    m.type = SparkplugType::Boolean;
    m.flag = lineUp;
    metrics->push_back(m);
    portOpen_ = lineUp;
  }
  // The share of the last ten seconds the line was busy, in percent, said
  // when it moved by a point or more.
  bool due = birth;
  if (utilisationAt_ == 0) {
    utilisationAt_ = steadyNow;
    busyMs_ = owner_.BusyMs();
  } else if (steadyNow - utilisationAt_ >= kUtilisationMs) {
    const double busy = owner_.BusyMs();
    const double now = std::min(100.0, 100.0 * (busy - busyMs_) / static_cast<double>(steadyNow - utilisationAt_));
    busyMs_ = busy;
    utilisationAt_ = steadyNow;
    if (utilisation_ < 0 || std::abs(now - utilisation_) >= 1) {
      utilisation_ = now;
      due = true;
    }
  }
  if (!due) return;
  m.name = birth ? "Line/Utilisation" : "";
  m.alias = kUtilisationAlias;
  m.type = SparkplugType::Double;
  m.real = std::max(0.0, utilisation_);
  metrics->push_back(m);
}

void SparkplugAdapter::DeviceBirth(Device& device, int64_t steadyNow, int64_t unixNow) {
  std::vector<MetricOut> out;
  for (size_t m : device.metrics) {
    Metric& metric = metrics_[m];
    const TagReading reading = ReadTag(*metric.tag, owner_.Cache(device.station),
                                       plan_.stations[device.station]->config->maxAgeMs, steadyNow, unixNow);
    out.push_back(TagMetric(*metric.tag, metric.alias, reading, true));
    // With a buffer, the changes since the last one published follow as
    // data (none is lost in the birth); without, the birth is the baseline.
    if (!buffer_ || !metric.everPublished) metric.published = reading;
    metric.everPublished = true;
  }
  Publish(topics_.Device("DBIRTH", device.name), EncodePayload(unixNow, node_.Next(), out), 1);
  device.announced = true;
}

void SparkplugAdapter::DeviceDeath(Device& device, int64_t unixNow) {
  Publish(topics_.Device("DDEATH", device.name), EncodePayload(unixNow, node_.Next(), {}), 1);
  device.announced = false;
}

void SparkplugAdapter::SayDeath() {
  MetricOut death;
  death.name = "bdSeq";
  death.type = SparkplugType::Int64;
  death.integer = node_.BdSeq();
  death.unixMs = qvhost::NowUnixMs();
  Publish(topics_.Node("NDEATH"), EncodePayload(death.unixMs, -1, {death}), 1);
}

void SparkplugAdapter::ConnectionEnded() {
  {
    std::lock_guard<std::mutex> lock(nodeMutex_);
    node_.Died();
  }
  leaving_ = false;
  for (Device& device : devices_) device.announced = false;
  // What was not acknowledged is still in the buffer: replayed after the births.
  flights_.Clear();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    seenConnection_ = connection_;
  }
  wake_.notify_all();
}

}  // namespace qvgateway
