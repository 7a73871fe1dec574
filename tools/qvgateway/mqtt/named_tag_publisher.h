// The named tags' side of the MQTT adapter: each tag retained on
// <prefix>/<name>, published when its deadband or quality says so (and
// all of them on every reconnect), read from the cache only.
#pragma once

#include <stdint.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "tools/qvgateway/config/config.h"
#include "tools/qvgateway/line/line_owner.h"
#include "tools/qvgateway/line/plan.h"
#include "tools/qvgateway/tags/tag_state.h"

namespace qvgateway {

class NamedTagPublisher {
 public:
  using PublishFn = std::function<void(const std::string& topic, const std::string& payload)>;

  NamedTagPublisher(const GatewayConfig& config, const LinePlan& plan, const LineOwner& owner);

  size_t Count() const { return tags_.size(); }
  // <prefix>/<name>/set of every tag, to subscribe one by one: a
  // wildcard would also bring back every value this gateway publishes.
  std::vector<std::string> SetTopics() const;
  // The station's place in the plan for tag `tag`.
  size_t StationOf(size_t tag) const { return tags_[tag].station; }
  void OweAll();
  // Publishes each tag worth it while `room()`; true when one was held
  // back for want of room. `folded` counts states never published.
  bool Scan(bool connected, const std::function<bool()>& room, const PublishFn& publish,
            std::atomic<uint64_t>* folded);

 private:
  struct Entry {
    const TagConfig* config = nullptr;
    size_t station = 0;
    int maxAgeMs = 0;
    std::string topic;
    TagReading published, seen;
    bool everPublished = false, everSeen = false, owed = false;
  };

  const GatewayConfig& config_;
  const LineOwner& owner_;
  std::vector<Entry> tags_;
};

}  // namespace qvgateway
