// The [sparkplug] table and the stations' names as Sparkplug devices: the
// broker keys as [mqtt] reads them, the group and edge node ids, the
// primary host, the store-and-forward folder and its bound. Every refusal
// names the key and its line, as for the others.
#pragma once

#include <vector>

#include "tools/qvgateway/config/config.h"
#include "tools/qvgateway/config/toml_table.h"

namespace qvgateway {

// Reads [sparkplug] when `root` has one (before the stations: it sets
// their default poll period).
void ReadSparkplug(TomlTable& root, GatewayConfig* config);

// A station's optional `name`.
void ReadStationName(TomlTable& t, StationConfig* station);

// After the stations and tags: unique station names, and named tags to
// publish (a Sparkplug metric is a named tag).
void CheckSparkplug(TomlTable& root, std::vector<TomlTable>& stations, const GatewayConfig& config);

// An id that is one topic level: not empty, no + # or /. False with why.
bool CheckTopicLevel(const std::string& id, std::string* why);

}  // namespace qvgateway
