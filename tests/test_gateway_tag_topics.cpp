// What subscribers and the status page see of a named tag, and what a
// write on its set topic may carry, from tables: the payload for each
// kind of value and quality, writes taken (as registers or a bit) or
// refused with why and the id kept, and set topics matched to names.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/host/timestamps.h"
#include "tools/qvgateway/http/status_json.h"
#include "tools/qvgateway/mqtt/tag_topics.h"

namespace qvgateway {
namespace {

using Json = nlohmann::json;
using K = EngineeringValue::Kind;

TagConfig Tag(const char* name, const char* address, TagType type, double scale = 1, const char* unit = "") {
  TagConfig tag;
  tag.name = name;
  tag.type = type;
  std::string why;
  EXPECT_TRUE(ParseTagAddress(address, type, &tag, &why)) << why;
  tag.scale = scale;
  tag.unit = unit;
  return tag;
}

TagReading Reading(Quality quality, K kind, double value, int code = -1, const char* why = "",
                   LineReason reason = LineReason::None) {
  TagReading r;
  r.reason = reason;
  r.quality = quality;
  r.value.kind = kind;
  r.value.flag = value != 0;
  r.value.integer = static_cast<int64_t>(value);
  r.value.real = value;
  r.code = code;
  r.why = why;
  r.unixMs = 1796790454881;
  r.ageMs = quality == Quality::Bad ? -1 : 120;
  return r;
}

TEST(GatewayTagTopics, PayloadForEachValueAndQuality) {
  struct Row {
    TagConfig tag;
    TagReading reading;
    const char* json;  // without ts
  } rows[] = {
      {Tag("tank1/level", "D200", TagType::U16, 0.1, "degC"), Reading(Quality::Good, K::Real, 42.5),
       R"({"value":42.5,"unit":"degC","quality":"good","code":null})"},
      {Tag("count", "D1", TagType::U32), Reading(Quality::Stale, K::Integer, 4294967295.0),
       R"({"value":4294967295,"unit":"","quality":"stale","code":null})"},
      {Tag("pump/run", "M12", TagType::Bool), Reading(Quality::Good, K::Bool, 1),
       R"({"value":true,"unit":"","quality":"good","code":null})"},
      {Tag("tank1/level", "D200", TagType::U16, 0.1, "degC"), Reading(Quality::Bad, K::Integer, 0, 5),
       R"({"value":null,"unit":"degC","quality":"bad","code":5,"meaning":"receive time-out"})"},
      {Tag("tank1/level", "D200", TagType::U16, 0.1, "degC"),
       Reading(Quality::Bad, K::Integer, 0, -1, "", LineReason::PortLost),
       R"({"value":null,"unit":"degC","quality":"bad","code":null,"meaning":"port lost"})"},
      {Tag("failed", "D1", TagType::U16), Reading(Quality::Bad, K::Integer, 0),
       R"({"value":null,"unit":"","quality":"bad","code":null,"meaning":"its last read failed"})"},
      {Tag("code", "D1", TagType::Bcd), Reading(Quality::Bad, K::Integer, 0, -1, "a digit above 9: not BCD"),
       R"({"value":null,"unit":"","quality":"bad","code":null,"meaning":"a digit above 9: not BCD"})"},
  };
  for (const Row& row : rows) {
    Json got = Json::parse(NamedTagPayload(row.tag, row.reading));
    EXPECT_EQ(got["ts"], qvhost::Iso8601(row.reading.unixMs, false)) << row.json;
    got.erase("ts");
    EXPECT_EQ(got, Json::parse(row.json));
    // The status page shows the same object, with the name and the age.
    LineView view;
    view.stations.push_back({1, 1, {}, {}});
    TagView named;
    named.named = &row.tag;
    named.reading = row.reading;
    named.ageMs = row.reading.ageMs;
    view.stations[0].tags.push_back(named);
    Json shown = Json::parse(StatusJson(view))["stations"][0]["tags"][0];
    EXPECT_EQ(shown["tag"], row.tag.name);
    EXPECT_EQ(shown["age_ms"], row.reading.ageMs >= 0 ? Json(row.reading.ageMs) : Json());
    shown.erase("tag"), shown.erase("age_ms"), shown.erase("ts");
    EXPECT_EQ(shown, got) << row.json;
  }
}

TEST(GatewayTagTopics, WritesTakenOrRefused) {
  const TagConfig level = Tag("tank1/level", "D200", TagType::U16, 0.1);
  const TagConfig m = Tag("pump/run", "M12", TagType::Bool);
  const std::string deep = std::string(1000, '[') + std::string(1000, ']');
  const std::string large = "{\"value\": 1, \"id\": \"" + std::string(5000, 'x') + "\"}";
  const std::string longId = "{\"value\": 1, \"id\": \"" + std::string(129, 'x') + "\"}";
  struct Row {
    const char* name;
    const TagConfig& tag;
    const char* payload;
    std::vector<uint16_t> words;
    bool flag;
    const char* id;       // the id as JSON
    const char* refusal;  // a part of the why, "" when taken
  } rows[] = {
      {"object", level, R"({"value": 42.5, "id": "x"})", {425}, false, R"("x")", ""},
      {"bare number", level, "42.5", {425}, false, "null", ""},
      {"bool true", m, "true", {}, true, "null", ""},
      {"bool 0", m, R"({"value": 0, "id": 3})", {}, false, "3", ""},
      {"not JSON", level, "forty", {}, false, "null", "not JSON"},
      {"unknown key", level, R"({"value": 1, "id": 1, "unit": "degC"})", {}, false, "1", "unknown key 'unit'"},
      {"no value", level, R"({"id": "y"})", {}, false, R"("y")", "no value"},
      {"a string", level, R"({"value": "42"})", {}, false, "null", "not a number"},
      {"between raw values", level, "42.55", {}, false, "null", "whole raw value"},
      {"bool 2", m, "2", {}, false, "null", "true, false, 1 or 0"},
      {"bool as text", m, R"("on")", {}, false, "null", "true, false, 1 or 0"},
      // The bounds every write payload has, a named tag's too.
      {"value twice", level, R"({"value": 1, "value": 2})", {}, false, "null", "'value' is given twice"},
      {"deep", level, deep.c_str(), {}, false, "null", "nested deeper than 8"},
      {"large", level, large.c_str(), {}, false, "null", "bytes, more than 4096"},
      {"long id", level, longId.c_str(), {}, false, "null", "an id is a string of at most 128 bytes"},
  };
  for (const Row& row : rows) {
    TagWrite write;
    std::string why;
    EXPECT_EQ(ParseTagSetPayload(row.tag, row.payload, &write, &why), std::string(row.refusal).empty())
        << row.name << ": " << why;
    EXPECT_NE(why.find(row.refusal), std::string::npos) << row.name << ": " << why;
    EXPECT_EQ(write.idJson, row.id) << row.name;
    EXPECT_EQ(write.words, row.words) << row.name;
    EXPECT_EQ(write.flag, row.flag) << row.name;
  }
}

TEST(GatewayTagTopics, SetTopicsMatchNamesExactly) {
  const std::vector<TagConfig> tags = {Tag("tank1/level", "D1", TagType::U16), Tag("tank1", "D2", TagType::U16)};
  struct Row {
    const char* topic;
    int tag;
  } rows[] = {
      {"qv/tank1/level/set", 0}, {"qv/tank1/set", 1},       {"qv/tank1/level", -1},
      {"qv/tank1/level/set/result", -1}, {"qv/tank1/lev/set", -1}, {"qvx/tank1/set", -1},
      {"qv//set", -1},           {"qv/set", -1},
  };
  for (const Row& row : rows) EXPECT_EQ(TagOfSetTopic(tags, "qv", row.topic), row.tag) << row.topic;
}

}  // namespace
}  // namespace qvgateway
