// What subscribers see of a named tag and what they send it, as text:
// {"value": 42.5, "unit": "degC", "quality": "good", "code": null, "ts": ...}
// retained on <prefix>/<name>, and a write in engineering units on
// <prefix>/<name>/set. Pure, so that every shape is tested from a table.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "tools/qvgateway/config/tag_config.h"
#include "tools/qvgateway/line/line_owner.h"
#include "tools/qvgateway/tags/tag_state.h"

namespace qvgateway {

// A bad one has "value": null and adds "meaning". Also what the status
// page shows of a tag, with its name and age.
nlohmann::json NamedTagJson(const TagConfig& tag, const TagReading& reading);
std::string NamedTagPayload(const TagConfig& tag, const TagReading& reading);

// A write to a named tag, checked against the tag before the line is
// touched: the registers to write (not bool), or the bit's new value.
struct TagWrite {
  std::vector<uint16_t> words;
  bool flag = false;
  std::string idJson = "null";
  std::string text;  // the value as sent, for the log
};

// Carries a checked write to the tag's registers or bit through the line
// owner's write queue: what every side that writes named tags calls.
LineResult WriteTag(LineOwner& owner, const StationRules& rules, const TagConfig& tag, const TagWrite& write);

// {"value": 42.5, "id": "x"} or a bare value; a bool tag takes true,
// false, 1 or 0. False with why (the id kept for the answer).
bool ParseTagSetPayload(const TagConfig& tag, const std::string& payload, TagWrite* write, std::string* why);

// The tag whose set topic `topic` is (<prefix>/<name>/set), or -1.
int TagOfSetTopic(const std::vector<TagConfig>& tags, const std::string& prefix, const std::string& topic);

}  // namespace qvgateway
