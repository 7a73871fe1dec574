#include "tools/qvgateway/mqtt/mqtt_adapter.h"

#include <mosquitto.h>

#include <algorithm>
#include <chrono>

#include "tools/host/driver_errors.h"
#include "tools/host/timestamps.h"
#include "tools/qvgateway/service/gateway_log.h"

namespace qvgateway {
namespace {

constexpr int kScanMs = 50;
constexpr int kFirstBackoffMs = 1000;
constexpr int kLastBackoffMs = 30000;
constexpr int kGoodbyeMs = 1000;
constexpr int kStationStatusMs = 1000;  // its counters change at every poll
// Beyond one message per tag and station: write results and "online".
constexpr int kSpareMessages = 16;

}  // namespace

MqttAdapter::MqttAdapter(const GatewayConfig& config, const LinePlan& plan, LineOwner& owner)
    : config_(config),
      mqtt_(config.mqtt),
      plan_(plan),
      owner_(owner),
      statusTopic_(config.mqtt.prefix + "/status"),
      registerTopics_(config.mqtt.registers == 1 || (config.mqtt.registers == -1 && config.tags.empty())),
      named_(config, plan, owner) {
  for (size_t s = 0; s < plan.stations.size(); ++s) {
    const StationPlan& sp = *plan.stations[s];
    stationTopics_.push_back(mqtt_.prefix + "/" + std::to_string(sp.config->number) + "/status");
    stationPublished_.emplace_back();
    if (!registerTopics_) continue;
    sp.rules.readable.ForEach([&](Area area, int i) {
      Tag tag;
      tag.station = s;
      tag.area = area;
      tag.index = i;
      tag.topic = mqtt_.prefix + "/" + std::to_string(sp.config->number) + "/" + TagName(area, i);
      tags_.push_back(tag);
    });
  }
  // Enough for one whole republish at once.
  maxUnacknowledged_ = static_cast<int>(tags_.size() + named_.Count() + stationTopics_.size()) + kSpareMessages;
}

MqttAdapter::~MqttAdapter() {
  Stop();
  if (client_ != nullptr) mosquitto_destroy(client_);
}

bool MqttAdapter::Start(std::string* error) {
  mosquitto_lib_init();
  client_ = mosquitto_new(mqtt_.clientId.c_str(), true, this);
  if (client_ == nullptr) {
    *error = "mqtt: the MQTT client cannot be made";
    return false;
  }
  // Publishes come from this adapter's threads, the network from its own.
  mosquitto_threaded_set(client_, true);
  mosquitto_connect_callback_set(client_, &MqttAdapter::OnConnect);
  mosquitto_message_callback_set(client_, &MqttAdapter::OnMessage);
  mosquitto_publish_callback_set(client_, &MqttAdapter::OnPublished);
  mosquitto_log_callback_set(client_, &MqttAdapter::OnLibraryLog);
  int rc = mosquitto_will_set(client_, statusTopic_.c_str(), 7, "offline", mqtt_.qos, true);
  if (rc == MOSQ_ERR_SUCCESS && !mqtt_.username.empty()) {
    rc = mosquitto_username_pw_set(client_, mqtt_.username.c_str(),
                                   mqtt_.password.empty() ? nullptr : mqtt_.password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS && !mqtt_.tlsCa.empty()) {
    rc = mosquitto_tls_set(client_, mqtt_.tlsCa.c_str(), nullptr, nullptr, nullptr, nullptr);
    // The broker's certificate must chain to this authority and name the
    // host connected to; neither check is ever waived.
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_opts_set(client_, 1 /* SSL_VERIFY_PEER */, nullptr, nullptr);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_insecure_set(client_, false);
    if (rc != MOSQ_ERR_SUCCESS) {
      *error = "mqtt.tls_ca: '" + mqtt_.tlsCa + "' is refused: " + mosquitto_strerror(rc);
      return false;
    }
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = std::string("mqtt: ") + mosquitto_strerror(rc);
    return false;
  }
  connectionSinceUnixMs_ = qvhost::NowUnixMs();
  network_ = std::thread([this] { RunNetwork(); });
  scan_ = std::thread([this] { RunScan(); });
  writer_ = std::thread([this] { RunWrites(); });
  return true;
}

void MqttAdapter::Stop() {
  stopWrites_ = true;
  if (!writer_.joinable() && !network_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  // The writes taken are answered first, then "offline" goes out.
  if (writer_.joinable()) writer_.join();
  if (scan_.joinable()) scan_.join();
  if (network_.joinable()) network_.join();
}

void MqttAdapter::OnConnect(struct mosquitto*, void* self, int rc) { static_cast<MqttAdapter*>(self)->Connected(rc); }

void MqttAdapter::OnMessage(struct mosquitto*, void* self, const struct mosquitto_message* message) {
  const std::string payload(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen));
  static_cast<MqttAdapter*>(self)->Message(message->topic, payload, message->retain);
}

void MqttAdapter::OnPublished(struct mosquitto*, void* self, int) {
  --static_cast<MqttAdapter*>(self)->unacknowledged_;
}

void MqttAdapter::OnLibraryLog(struct mosquitto*, void* self, int level, const char* text) {
  if (level != MOSQ_LOG_ERR || text == nullptr) return;
  auto* adapter = static_cast<MqttAdapter*>(self);
  std::lock_guard<std::mutex> lock(adapter->libraryErrorMutex_);
  adapter->libraryError_ = text;
}

void MqttAdapter::Connected(int rc) {
  if (rc != 0) {
    LogEvent(Severity::Error, "MQTT broker " + mqtt_.host + ":" + std::to_string(mqtt_.port) +
                                  " refused the connection: " + mosquitto_connack_string(rc));
    mosquitto_disconnect(client_);
    return;
  }
  // The library drops the QoS 0 packets a lost connection had not written;
  // it keeps QoS 1 and 2 messages and sends them again, each acknowledged.
  if (mqtt_.qos == 0) unacknowledged_ = 0;
  const std::string sets = mqtt_.prefix + "/+/+/set";
  if (registerTopics_) mosquitto_subscribe(client_, nullptr, sets.c_str(), mqtt_.qos);
  for (const std::string& topic : named_.SetTopics()) mosquitto_subscribe(client_, nullptr, topic.c_str(), mqtt_.qos);
  Publish(statusTopic_, "online", true);
  LogEvent("MQTT connected to " + mqtt_.host + ":" + std::to_string(mqtt_.port) + " as " + mqtt_.clientId +
           ": every tag under " + mqtt_.prefix + "/ is published" +
           (folded_ > 0 ? " (" + std::to_string(folded_.load()) + " updates folded so far while it was gone)" : ""));
  republish_ = true;
  connectionSinceUnixMs_ = qvhost::NowUnixMs();
  connected_ = true;
  wake_.notify_all();
}

void MqttAdapter::Publish(const std::string& topic, const std::string& payload, bool retain) {
  ++unacknowledged_;
  const int rc = mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                   mqtt_.qos, retain);
  // A QoS 1 or 2 message refused for want of a connection is still kept
  // (and sent after the reconnect); any other refusal keeps nothing.
  if (rc != MOSQ_ERR_SUCCESS && !(rc == MOSQ_ERR_NO_CONN && mqtt_.qos > 0)) --unacknowledged_;
}

TagState MqttAdapter::Look(const Tag& tag, int64_t steadyNow, int64_t unixNow) const {
  return LookTag(owner_.Cache(tag.station), tag.area, tag.index, plan_.stations[tag.station]->config->maxAgeMs,
                 steadyNow, unixNow);
}

void MqttAdapter::PublishStations() {
  for (size_t s = 0; s < stationTopics_.size(); ++s) {
    bool lineUp = false;
    const StationHealth health = owner_.Health(s, &lineUp);
    const std::string payload = StationStatusPayload(health, lineUp);
    if (payload == stationPublished_[s] || !Room()) continue;
    Publish(stationTopics_[s], payload, true);
    stationPublished_[s] = payload;
  }
}

void MqttAdapter::SayHolding(bool holding) {
  if (holding == holding_) return;
  holding_ = holding;
  LogEvent(holding ? Severity::Warning : Severity::Notice,
           holding ? "MQTT broker " + mqtt_.host + ":" + std::to_string(mqtt_.port) + " has not acknowledged " +
                         std::to_string(unacknowledged_.load()) +
                         " messages: each tag's latest state waits here until it does"
                   : "MQTT broker acknowledges again: the tags that waited are published (" +
                         std::to_string(folded_.load()) + " updates folded so far)");
}

void MqttAdapter::RunScan() {
  int64_t stationsDue = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    // Taken only while connected: a reconnect sets it before it says connected.
    const bool all = connected_ && republish_.exchange(false);
    if (all) {
      named_.OweAll();
      for (Tag& tag : tags_) tag.owed = true;
      for (std::string& published : stationPublished_) published.clear();
    }
    const int64_t steadyNow = SteadyMs(), unixNow = qvhost::NowUnixMs();
    bool held = false;
    for (Tag& tag : tags_) {
      const TagState state = Look(tag, steadyNow, unixNow);
      const bool due = tag.owed || !tag.everPublished || !state.SameAs(tag.published);
      held = held || (due && connected_ && !Room());
      if (due && connected_ && Room()) {
        Publish(tag.topic, TagPayload(state), true);
        tag.published = state;
        tag.everPublished = true;
        tag.owed = false;
      } else if (tag.everSeen && !state.SameAs(tag.seen) && !tag.seen.SameAs(tag.published)) {
        // Only the latest state waits for the broker; the one before, never
        // published, is folded.
        ++folded_;
      }
      tag.seen = state;
      tag.everSeen = true;
    }
    held = named_.Scan(connected_, [this] { return Room(); },
                       [this](const std::string& topic, const std::string& payload) { Publish(topic, payload, true); },
                       &folded_) ||
           held;
    if (connected_) SayHolding(held);
    if (connected_ && (all || steadyNow >= stationsDue)) {
      PublishStations();
      stationsDue = steadyNow + kStationStatusMs;
    }
    lock.lock();
    wake_.wait_for(lock, std::chrono::milliseconds(kScanMs));
  }
}

void MqttAdapter::RunNetwork() {
  const std::string broker = mqtt_.host + ":" + std::to_string(mqtt_.port);
  int backoffMs = kFirstBackoffMs;
  bool said = false;  // the outage is logged once, not at each try
  while (!stopping_) {
    // Not blocking on a broker that does not answer: a stop is seen within
    // one turn of the loop.
    int rc = mosquitto_connect_async(client_, mqtt_.host.c_str(), mqtt_.port, mqtt_.keepaliveS);
    while (rc == MOSQ_ERR_SUCCESS && !stopping_) {
      rc = mosquitto_loop(client_, 100, 1);
      if (connected_) {
        backoffMs = kFirstBackoffMs;
        said = false;
      }
    }
    if (stopping_) break;
    const bool was = connected_.exchange(false);
    if (was) connectionSinceUnixMs_ = qvhost::NowUnixMs();
    if (was || !said) {
      LogEvent(Severity::Warning, "MQTT broker " + broker + (was ? " lost: " : " not reached: ") + WhyNotReached(rc) +
               "; trying again with a back-off up to " + std::to_string(kLastBackoffMs / 1000) + " s");
      said = true;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(backoffMs), [this] { return stopping_.load(); });
    backoffMs = std::min(backoffMs * 2, kLastBackoffMs);
  }
  SayOffline();
}

std::string MqttAdapter::WhyNotReached(int rc) {
  std::string detail;
  {
    std::lock_guard<std::mutex> lock(libraryErrorMutex_);
    detail.swap(libraryError_);
  }
  std::string why = mosquitto_strerror(rc);
  if (!why.empty() && why.back() == '.') why.pop_back();  // the log line goes on after it
  if (rc == MOSQ_ERR_CONN_LOST) {
    // What two gateways given one client id do to each other, every second.
    why += " (a broker also ends a connection when another client connects as '" + mqtt_.clientId + "')";
  } else if (rc == MOSQ_ERR_TLS) {
    why = "TLS refused: the broker's certificate is not signed by mqtt.tls_ca '" + mqtt_.tlsCa +
          "' or does not name " + mqtt_.host + ", or the broker speaks no TLS";
  }
  return detail.empty() ? why : why + " (" + detail + ")";
}

void MqttAdapter::SayOffline() {
  if (!connected_) return;
  // A clean goodbye: the Last Will is only for a gateway that died.
  Publish(statusTopic_, "offline", true);
  const int64_t until = SteadyMs() + kGoodbyeMs;
  while (SteadyMs() < until && mosquitto_want_write(client_)) {
    if (mosquitto_loop(client_, 50, 1) != MOSQ_ERR_SUCCESS) break;
  }
  mosquitto_disconnect(client_);
  mosquitto_loop(client_, 50, 1);
  connectionSinceUnixMs_ = qvhost::NowUnixMs();
  connected_ = false;
  LogEvent("MQTT: offline said, disconnected");
}

}  // namespace qvgateway
