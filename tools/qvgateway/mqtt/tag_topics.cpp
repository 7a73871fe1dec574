#include "tools/qvgateway/mqtt/tag_topics.h"

#include <nlohmann/json.hpp>

#include "tools/host/driver_errors.h"
#include "tools/host/timestamps.h"
#include "tools/qvgateway/mqtt/mqtt_payload.h"
#include "tools/qvgateway/mqtt/set_payload.h"
#include "tools/qvgateway/tags/tag_value.h"

namespace qvgateway {
namespace {

using Json = nlohmann::json;

Json ValueJson(const EngineeringValue& value) {
  switch (value.kind) {
    case EngineeringValue::Kind::Bool: return Json(value.flag);
    case EngineeringValue::Kind::Integer: return Json(value.integer);
    default: return Json(value.real);
  }
}

}  // namespace

Json NamedTagJson(const TagConfig& tag, const TagReading& reading) {
  const bool bad = reading.quality == Quality::Bad;
  Json json = Json::object();
  json["value"] = bad ? Json() : ValueJson(reading.value);
  json["unit"] = tag.unit;
  json["quality"] = QualityName(reading.quality);
  json["code"] = bad && reading.code >= 0 ? Json(reading.code) : Json();
  if (bad) {
    json["meaning"] = !reading.why.empty()                ? reading.why
                      : reading.reason != LineReason::None ? LineMeaning(LineFailed(reading.reason, reading.code))
                      : !reading.readYet                   ? "not read yet"
                      : reading.code >= 0                  ? qvhost::Meaning(reading.code)
                                                           : "its last read failed";
  }
  json["ts"] = qvhost::Iso8601(reading.unixMs, false);
  return json;
}

std::string NamedTagPayload(const TagConfig& tag, const TagReading& reading) {
  return NamedTagJson(tag, reading).dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool ParseTagSetPayload(const TagConfig& tag, const std::string& payload, TagWrite* write, std::string* why) {
  Json value;
  if (!ParseSetEnvelope(payload, "a write is {\"value\": 42.5, \"id\": \"any text\"} or a bare value", &value,
                        &write->idJson, why)) {
    return false;
  }
  write->text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  if (tag.type == TagType::Bool) {
    if (value.is_boolean()) {
      write->flag = value.get<bool>();
      return true;
    }
    if (value.is_number_integer() && (value.get<long long>() == 0 || value.get<long long>() == 1)) {
      write->flag = value.get<long long>() == 1;
      return true;
    }
    *why = "a bool tag takes true, false, 1 or 0";
    return false;
  }
  if (!value.is_number()) {
    *why = "the value is not a number";
    return false;
  }
  return ToRegisters(tag, value.get<double>(), &write->words, why);
}

int TagOfSetTopic(const std::vector<TagConfig>& tags, const std::string& prefix, const std::string& topic) {
  const std::string set = "/set";
  if (topic.size() <= prefix.size() + 1 + set.size() || topic.compare(0, prefix.size(), prefix) != 0 ||
      topic[prefix.size()] != '/' || topic.compare(topic.size() - set.size(), set.size(), set) != 0) {
    return -1;
  }
  const std::string name = topic.substr(prefix.size() + 1, topic.size() - prefix.size() - 1 - set.size());
  for (size_t i = 0; i < tags.size(); ++i) {
    if (tags[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace qvgateway
