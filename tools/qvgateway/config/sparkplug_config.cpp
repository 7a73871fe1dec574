#include "tools/qvgateway/config/sparkplug_config.h"

#include <sys/stat.h>

#include <map>

#include "tools/qvgateway/mqtt/mqtt_config.h"

namespace qvgateway {

bool CheckTopicLevel(const std::string& id, std::string* why) {
  if (id.empty()) {
    *why = "is empty";
  } else if (id.find_first_of("+#/") != std::string::npos || id.find('\0') != std::string::npos) {
    *why = "'" + id + "' holds + # or /, which cannot stand in one topic level";
  } else {
    return true;
  }
  return false;
}

void ReadSparkplug(TomlTable& root, GatewayConfig* config) {
  if (!root.Has("sparkplug")) return;
  TomlTable t = root.Table("sparkplug");
  SparkplugConfig& sp = config->sparkplug;
  t.Allow({"broker", "client_id", "keepalive_s", "username", "password_file", "tls_ca", "group_id", "edge_node_id",
           "primary_host_id", "buffer_dir", "buffer_max_mb"});
  sp.enabled = true;
  sp.place = t.Place("");
  std::string why;
  if (t.String("group_id", &sp.groupId, true) && !CheckTopicLevel(sp.groupId, &why)) t.Refuse("group_id", why);
  if (t.String("edge_node_id", &sp.edgeNodeId, true) && !CheckTopicLevel(sp.edgeNodeId, &why)) {
    t.Refuse("edge_node_id", why);
  }
  // Not [mqtt]'s default: a broker ends one of two connections with one id.
  ReadBrokerKeys(t, "qvgateway-" + sp.groupId + "-" + sp.edgeNodeId, &sp.broker);
  sp.broker.qos = 1;
  if (t.String("primary_host_id", &sp.primaryHostId, false) && !CheckTopicLevel(sp.primaryHostId, &why)) {
    t.Refuse("primary_host_id", why);
  }
  if (t.String("buffer_dir", &sp.bufferDir, false)) {
    struct stat status {};
    if (sp.bufferDir.empty()) {
      t.Refuse("buffer_dir", "is empty: leave it out for no store-and-forward, or name a folder");
    } else if (stat(sp.bufferDir.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) {
      t.Refuse("buffer_dir", "'" + sp.bufferDir + "' is not a folder");
    }
  }
  t.Int("buffer_max_mb", 1, 65536, &sp.bufferMaxMb);
}

void ReadStationName(TomlTable& t, StationConfig* station) {
  std::string why;
  if (t.String("name", &station->name, false) && !CheckTopicLevel(station->name, &why)) t.Refuse("name", why);
  if (station->name.empty()) station->name = "station" + std::to_string(station->number);
}

void CheckSparkplug(TomlTable& root, std::vector<TomlTable>& stations, const GatewayConfig& config) {
  std::map<std::string, int> names;
  for (size_t i = 0; i < stations.size() && i < config.stations.size(); ++i) {
    const StationConfig& s = config.stations[i];
    auto same = names.find(s.name);
    if (same != names.end()) {
      stations[i].Refuse(stations[i].Has("name") ? "name" : "number",
                         "the name '" + s.name + "' is already station " + std::to_string(same->second) +
                             "'s: each station needs its own");
    } else {
      names.emplace(s.name, s.number);
    }
  }
  if (config.sparkplug.enabled && config.tags.empty()) {
    root.Refuse("sparkplug", "Sparkplug publishes named tags as metrics, and the file has no [[tag]]: "
                             "name the registers to publish with [[tag]] tables");
  }
}

}  // namespace qvgateway
