#include "tools/qvgateway/mqtt/named_tag_publisher.h"

#include "tools/host/timestamps.h"
#include "tools/qvgateway/mqtt/tag_topics.h"

namespace qvgateway {

NamedTagPublisher::NamedTagPublisher(const GatewayConfig& config, const LinePlan& plan, const LineOwner& owner)
    : config_(config), owner_(owner) {
  for (const TagConfig& tag : config.tags) {
    Entry entry;
    entry.config = &tag;
    entry.topic = config.mqtt.prefix + "/" + tag.name;
    for (size_t s = 0; s < plan.stations.size(); ++s) {
      if (plan.stations[s]->config->number != tag.station) continue;
      entry.station = s;
      entry.maxAgeMs = plan.stations[s]->config->maxAgeMs;
    }
    tags_.push_back(entry);
  }
}

std::vector<std::string> NamedTagPublisher::SetTopics() const {
  std::vector<std::string> topics;
  for (const Entry& e : tags_) topics.push_back(e.topic + "/set");
  return topics;
}

void NamedTagPublisher::OweAll() {
  for (Entry& e : tags_) e.owed = true;
}

bool NamedTagPublisher::Scan(bool connected, const std::function<bool()>& room, const PublishFn& publish,
                             std::atomic<uint64_t>* folded) {
  const int64_t steadyNow = SteadyMs(), unixNow = qvhost::NowUnixMs();
  bool held = false;
  for (Entry& e : tags_) {
    const TagReading reading = ReadTag(*e.config, owner_.Cache(e.station), e.maxAgeMs, steadyNow, unixNow);
    const bool due = e.owed || WorthPublishing(reading, e.published, e.everPublished, e.config->deadband);
    held = held || (due && connected && !room());
    if (due && connected && room()) {
      publish(e.topic, NamedTagPayload(*e.config, reading));
      e.published = reading;
      e.everPublished = true;
      e.owed = false;
    } else if (due && e.everSeen && WorthPublishing(reading, e.seen, true, 0) &&
               WorthPublishing(e.seen, e.published, e.everPublished, e.config->deadband)) {
      // Only the latest state waits for the broker; the one before, never
      // published, is folded.
      ++*folded;
    }
    e.seen = reading;
    e.everSeen = true;
  }
  return held;
}

}  // namespace qvgateway
