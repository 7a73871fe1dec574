// /status.json, what the status page shows: the line, each station's
// health and its tags (each the object MQTT publishes for it, with its
// age), and the line's busy share over the last minutes. Pure: built from
// a snapshot, so that every shape can be tested from a table.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/qvgateway/http/broker_look.h"
#include "tools/qvgateway/mqtt/mqtt_payload.h"
#include "tools/qvgateway/mqtt/tag_topics.h"
#include "tools/qvgateway/line/register_rules.h"
#include "tools/qvgateway/line/station_health.h"

namespace qvgateway {

struct TagView {
  Area area = Area::D;
  int index = 0;
  TagState state;
  int64_t ageMs = -1;  // since its latest read; -1 for a bad tag, which shows no value
  // A named tag instead of a register: shown as MQTT publishes it.
  const TagConfig* named = nullptr;
  TagReading reading;
};

struct StationView {
  int number = 0;
  int unit = 0;
  StationHealth health;
  std::vector<TagView> tags;
  int64_t demotedSinceUnixMs = 0, nextTryUnixMs = 0;  // while demoted
};

// The Sparkplug edge node as the page shows it.
struct SparkplugView {
  bool configured = false;
  bool connected = false, online = false;  // online: born, publishing
  bool buffered = false;                   // buffer_dir is set
  uint64_t depth = 0, dropped = 0;
  int64_t oldestUnixMs = -1;
};

struct LineView {
  std::string port;  // as the file names it ("sim" for the simulator)
  int baud = 0;
  bool portOpen = false;
  int64_t portSinceUnixMs = 0;  // when it was opened, lost, or came back
  double plannedShare = 0;  // the cyclic polls' wire time per second of line
  std::vector<float> busyShares;  // one per LineUtilisation::kIntervalMs, oldest first
  int64_t unixNowMs = 0;
  std::vector<StationView> stations;
  BrokerLook broker;
  SparkplugView sparkplug;
};

// "good", "demoted", "not answering", or "waiting" before its first
// transaction. Only "good" and "waiting" are not a failure.
const char* StationState(const StationHealth& health, bool portOpen);

std::string StatusJson(const LineView& view);

}  // namespace qvgateway
