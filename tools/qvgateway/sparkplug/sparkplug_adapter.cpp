#include "tools/qvgateway/sparkplug/sparkplug_adapter.h"

#include <mosquitto.h>

#include <algorithm>
#include <chrono>

#include "tools/host/timestamps.h"
#include "tools/qvgateway/sparkplug/buffered_change.h"
#include "tools/qvgateway/service/gateway_log.h"

namespace qvgateway {
namespace {

constexpr int kFirstBackoffMs = 1000;
constexpr int kLastBackoffMs = 30000;
constexpr int kGoodbyeMs = 1000;
constexpr uint64_t kFirstTagAlias = 100;  // below: the node's own metrics

}  // namespace

SparkplugAdapter::SparkplugAdapter(const GatewayConfig& config, const LinePlan& plan, LineOwner& owner)
    : config_(config), sp_(config.sparkplug), plan_(plan), owner_(owner), node_(0) {
  topics_.group = sp_.groupId;
  topics_.node = sp_.edgeNodeId;
  for (size_t s = 0; s < plan.stations.size(); ++s) {
    Device device;
    device.station = s;
    device.name = plan.stations[s]->config->name;
    for (size_t t = 0; t < config.tags.size(); ++t) {
      if (config.tags[t].station != plan.stations[s]->config->number) continue;
      Metric metric;
      metric.tag = &config.tags[t];
      metric.device = devices_.size();
      metric.alias = kFirstTagAlias + t;
      device.metrics.push_back(metrics_.size());
      metricByName_[config.tags[t].name] = metrics_.size();
      metrics_.push_back(metric);
    }
    // A station without named tags has no metric to be a device of.
    if (!device.metrics.empty()) devices_.push_back(device);
  }
}

SparkplugAdapter::~SparkplugAdapter() {
  Stop();
  if (client_ != nullptr) mosquitto_destroy(client_);
}

bool SparkplugAdapter::Start(std::string* error) {
  mosquitto_lib_init();
  int64_t bdSeq = 0;
  if (!sp_.bufferDir.empty()) {
    buffer_.reset(new ChangeBuffer());
    std::string note;
    if (!buffer_->Open(sp_.bufferDir, static_cast<uint64_t>(sp_.bufferMaxMb) << 20, error, &note)) {
      *error = "sparkplug.buffer_dir: " + *error;
      return false;
    }
    if (!note.empty()) LogEvent(Severity::Warning, "Sparkplug buffer: " + note);
    if (buffer_->Depth() > 0) {
      // The history goes on from each tag's last buffered state: the first
      // reading is a change only if it differs from that.
      for (const BufferedRecord& record : buffer_->Peek(buffer_->Depth())) {
        std::string name;
        TagReading reading;
        auto found = DecodeChange(record.bytes, &name, &reading) ? metricByName_.find(name) : metricByName_.end();
        if (found == metricByName_.end()) continue;
        metrics_[found->second].published = reading;
        metrics_[found->second].everPublished = true;
      }
      LogEvent("Sparkplug buffer holds " + std::to_string(buffer_->Depth()) +
               " changes from before the start: they are replayed after the births");
    }
    counterPath_ = sp_.bufferDir + "/bdseq";
    if (!ReadCounter(counterPath_, &bdSeq)) bdSeq = 0;
  }
  node_ = EdgeNode(bdSeq);
  std::string why;
  if (!MakeClient(&why)) {
    *error = "sparkplug: " + why;
    return false;
  }
  network_ = std::thread([this] { RunNetwork(); });
  scan_ = std::thread([this] { RunScan(); });
  writer_ = std::thread([this] { RunWrites(); });
  return true;
}

void SparkplugAdapter::Stop() {
  stopWrites_ = true;
  if (!writer_.joinable() && !network_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  // The writes taken are answered first; then the scan thread says NDEATH
  // and keeps what was not acknowledged; then the connection goes.
  if (writer_.joinable()) writer_.join();
  if (scan_.joinable()) scan_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    networkStop_ = true;
  }
  wake_.notify_all();
  if (network_.joinable()) network_.join();
}

// A client of its own for each connection: the library sends the QoS 1
// messages a lost connection left unacknowledged again on the next one,
// and those would carry the old connection's sequence numbers. What they
// held goes to the buffer instead.
bool SparkplugAdapter::MakeClient(std::string* why) {
  std::lock_guard<std::mutex> lock(clientMutex_);
  if (client_ != nullptr) mosquitto_destroy(client_);
  client_ = mosquitto_new(sp_.broker.clientId.c_str(), true, this);
  if (client_ == nullptr) {
    *why = "the MQTT client cannot be made";
    return false;
  }
  mosquitto_threaded_set(client_, true);
  mosquitto_connect_callback_set(client_, &SparkplugAdapter::OnConnect);
  mosquitto_disconnect_callback_set(client_, &SparkplugAdapter::OnDisconnect);
  mosquitto_message_callback_set(client_, &SparkplugAdapter::OnMessage);
  mosquitto_publish_callback_set(client_, &SparkplugAdapter::OnPublished);
  int64_t bdSeq = 0;
  {
    std::lock_guard<std::mutex> nodeLock(nodeMutex_);
    bdSeq = node_.BdSeq();
  }
  MetricOut death;
  death.name = "bdSeq";
  death.type = SparkplugType::Int64;
  death.integer = bdSeq;
  death.unixMs = qvhost::NowUnixMs();
  const std::string will = EncodePayload(death.unixMs, -1, {death});
  const std::string topic = topics_.Node("NDEATH");
  int rc = mosquitto_will_set(client_, topic.c_str(), static_cast<int>(will.size()), will.data(), 1, false);
  const MqttConfig& b = sp_.broker;
  if (rc == MOSQ_ERR_SUCCESS && !b.username.empty()) {
    rc = mosquitto_username_pw_set(client_, b.username.c_str(), b.password.empty() ? nullptr : b.password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS && !b.tlsCa.empty()) {
    rc = mosquitto_tls_set(client_, b.tlsCa.c_str(), nullptr, nullptr, nullptr, nullptr);
    // The broker's certificate must chain to this authority and name the
    // host connected to; neither check is ever waived.
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_opts_set(client_, 1 /* SSL_VERIFY_PEER */, nullptr, nullptr);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_insecure_set(client_, false);
    if (rc != MOSQ_ERR_SUCCESS) {
      *why = "tls_ca '" + b.tlsCa + "' is refused: " + mosquitto_strerror(rc);
      return false;
    }
  }
  if (rc != MOSQ_ERR_SUCCESS) *why = mosquitto_strerror(rc);
  return rc == MOSQ_ERR_SUCCESS;
}

void SparkplugAdapter::OnConnect(struct mosquitto* client, void* self, int rc) {
  auto* a = static_cast<SparkplugAdapter*>(self);
  if (rc != 0) {
    LogEvent(Severity::Error, "Sparkplug broker " + a->sp_.broker.host + ":" + std::to_string(a->sp_.broker.port) +
                                  " refused the connection: " + mosquitto_connack_string(rc));
    mosquitto_disconnect(client);
    return;
  }
  mosquitto_subscribe(client, nullptr, a->topics_.Node("NCMD").c_str(), 1);
  mosquitto_subscribe(client, nullptr, (a->topics_.Node("DCMD") + "/+").c_str(), 1);
  a->hostOnline_ = a->sp_.primaryHostId.empty();
  if (!a->sp_.primaryHostId.empty()) {
    // Its retained STATE comes back at once: births wait for "online".
    mosquitto_subscribe(client, nullptr, ("spBv1.0/STATE/" + a->sp_.primaryHostId).c_str(), 1);
  }
  LogEvent("Sparkplug connected to " + a->sp_.broker.host + ":" + std::to_string(a->sp_.broker.port) + " as " +
           a->sp_.broker.clientId + ": edge node " + a->sp_.groupId + "/" + a->sp_.edgeNodeId +
           (a->sp_.primaryHostId.empty() ? "" : ", waiting for primary host " + a->sp_.primaryHostId + " online"));
  a->connected_ = true;
  a->wake_.notify_all();
}

void SparkplugAdapter::OnDisconnect(struct mosquitto*, void*, int) {}

void SparkplugAdapter::OnMessage(struct mosquitto*, void* self, const struct mosquitto_message* message) {
  const std::string payload(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen));
  static_cast<SparkplugAdapter*>(self)->Message(message->topic, payload);
}

void SparkplugAdapter::OnPublished(struct mosquitto*, void* self, int mid) {
  auto* a = static_cast<SparkplugAdapter*>(self);
  {
    std::lock_guard<std::mutex> lock(a->ackMutex_);
    a->acks_.push_back(mid);
  }
  a->wake_.notify_all();
}

int SparkplugAdapter::Publish(const std::string& topic, const std::string& payload, int qos) {
  std::lock_guard<std::mutex> lock(clientMutex_);
  int mid = 0;
  if (client_ == nullptr) return -1;
  const int rc = mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                   qos, false);
  return rc == MOSQ_ERR_SUCCESS ? mid : -1;
}

void SparkplugAdapter::RunNetwork() {
  const std::string broker = sp_.broker.host + ":" + std::to_string(sp_.broker.port);
  int backoffMs = kFirstBackoffMs;
  bool said = false;  // the outage is logged once, not at each try
  while (!networkStop_) {
    int rc = mosquitto_connect_async(client_, sp_.broker.host.c_str(), sp_.broker.port, sp_.broker.keepaliveS);
    while (rc == MOSQ_ERR_SUCCESS && !networkStop_ && !leave_) {
      rc = mosquitto_loop(client_, 100, 1);
      if (connected_) {
        backoffMs = kFirstBackoffMs;
        said = false;
      }
    }
    if (networkStop_) break;
    const bool left = leave_.exchange(false);
    if (left) {
      // The primary host went offline: NDEATH is said, and it goes with
      // this connection.
      const int64_t until = SteadyMs() + kGoodbyeMs;
      while (SteadyMs() < until && mosquitto_want_write(client_)) {
        if (mosquitto_loop(client_, 50, 1) != MOSQ_ERR_SUCCESS) break;
      }
      mosquitto_disconnect(client_);
      backoffMs = kFirstBackoffMs;
    }
    const bool was = connected_.exchange(false);
    if (was && !left) {
      LogEvent(Severity::Warning, "Sparkplug broker " + broker + " lost: " + mosquitto_strerror(rc) +
                                      "; trying again with a back-off up to " + std::to_string(kLastBackoffMs / 1000) +
                                      " s" + (buffer_ ? ", every change kept in the buffer meanwhile" : ""));
    } else if (!was && !said) {
      LogEvent(Severity::Warning, "Sparkplug broker " + broker + " not reached: " + mosquitto_strerror(rc) +
                                      "; trying again with a back-off up to " + std::to_string(kLastBackoffMs / 1000) +
                                      " s");
      said = true;
    }
    // The scan thread closes the connection's books (bdSeq, what was in
    // flight) before the next one's Will is made.
    std::unique_lock<std::mutex> lock(mutex_);
    ++connection_;
    wake_.notify_all();
    wake_.wait(lock, [this] { return networkStop_ || seenConnection_ == connection_; });
    wake_.wait_for(lock, std::chrono::milliseconds(backoffMs), [this] { return networkStop_.load(); });
    lock.unlock();
    backoffMs = std::min(backoffMs * 2, kLastBackoffMs);
    std::string why;
    if (!networkStop_ && !MakeClient(&why)) LogEvent(Severity::Error, "Sparkplug: " + why);
  }
  if (!connected_) return;
  // The scan thread said NDEATH: it goes out before the goodbye.
  const int64_t until = SteadyMs() + kGoodbyeMs;
  while (SteadyMs() < until && mosquitto_want_write(client_)) {
    if (mosquitto_loop(client_, 50, 1) != MOSQ_ERR_SUCCESS) break;
  }
  mosquitto_disconnect(client_);
  mosquitto_loop(client_, 50, 1);
  connected_ = false;
  LogEvent("Sparkplug: NDEATH said, disconnected");
}

SparkplugLook SparkplugAdapter::Look() const {
  std::lock_guard<std::mutex> lock(lookMutex_);
  SparkplugLook look = look_;
  look.connected = connected_;
  look.hostOnline = hostOnline_;
  return look;
}

}  // namespace qvgateway
