// What the MQTT adapter publishes and accepts, from tables: a tag's JSON
// for each quality, tag names in topics, every shape of write payload
// (taken, or refused with why, the id echoed either way), and results.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "tools/host/timestamps.h"
#include "tools/qvgateway/mqtt/mqtt_config.h"
#include "tools/qvgateway/mqtt/mqtt_payload.h"
#include "tools/qvgateway/mqtt/set_payload.h"

namespace qvgateway {
namespace {

using Json = nlohmann::json;

TEST(GatewayMqttPayload, TagStateForEachQuality) {
  const int64_t at = 1796790454881;  // 2026-12-09T06:47:34.881Z
  struct Row {
    TagState state;
    const char* json;  // without ts
  } rows[] = {
      {{Quality::Good, 1234, -1, at}, R"({"code":null,"quality":"good","value":1234})"},
      {{Quality::Stale, 65535, -1, at}, R"({"code":null,"quality":"stale","value":65535})"},
      {{Quality::Bad, 1234, 5, at}, R"({"code":5,"meaning":"receive time-out","quality":"bad","value":null})"},
      {{Quality::Bad, 0, -1, at, LineReason::None, false}, R"({"code":null,"meaning":"not read yet","quality":"bad","value":null})"},
      {{Quality::Bad, 0, -1, at, LineReason::None, true},
       R"({"code":null,"meaning":"its last read failed","quality":"bad","value":null})"},
      {{Quality::Bad, 9, -1, at, LineReason::PortLost}, R"({"code":null,"meaning":"port lost","quality":"bad","value":null})"},
      {{Quality::Bad, 9, 5, at, LineReason::Demoted},
       R"({"code":5,"meaning":"station demoted: receive time-out","quality":"bad","value":null})"},
      {{Quality::Bad, 9, 5, at, LineReason::Silent}, R"({"code":5,"meaning":"receive time-out","quality":"bad","value":null})"},
  };
  for (const Row& row : rows) {
    Json got = Json::parse(TagPayload(row.state));
    EXPECT_EQ(got["ts"], qvhost::Iso8601(at, false)) << row.json;
    EXPECT_NE(got["ts"].get<std::string>().find("T"), std::string::npos);
    got.erase("ts");
    EXPECT_EQ(got, Json::parse(row.json));
  }
}

TEST(GatewayMqttPayload, StationStatus) {
  struct Row {
    StationHealth health;
    bool lineUp;
    const char* json;
  } rows[] = {
      {{12, 0, 0, 0, 0, true, false, 0, -1, 0}, true,
       R"({"communication_good":true,"demoted":false,"port_open":true,"transactions":12,"timeouts":0,"bad_replies":0,"last_error":null})"},
      {{12, 3, 1, 0, 3, false, true, 0, 5, 0}, true,
       R"({"communication_good":false,"demoted":true,"port_open":true,"transactions":12,"timeouts":3,"bad_replies":1,"last_error":5,"meaning":"receive time-out"})"},
      {{7, 0, 0, 0, 0, true, false, 0, -1, 0}, false,
       R"({"communication_good":false,"demoted":false,"port_open":false,"transactions":7,"timeouts":0,"bad_replies":0,"last_error":null})"},
  };
  for (const Row& row : rows) EXPECT_EQ(Json::parse(StationStatusPayload(row.health, row.lineUp)), Json::parse(row.json));
}

TEST(GatewayMqttPayload, PublishedAgainOnlyWhenWhatASubscriberSeesChanged) {
  struct Row {
    TagState a, b;
    bool same;
  } rows[] = {
      {{Quality::Good, 1, -1, 100}, {Quality::Good, 1, -1, 900}, true},  // a newer read of the same value
      {{Quality::Good, 1, -1, 100}, {Quality::Good, 2, -1, 100}, false},
      {{Quality::Good, 1, -1, 100}, {Quality::Stale, 1, -1, 100}, false},
      {{Quality::Bad, 1, 5, 100}, {Quality::Bad, 2, 5, 900}, true},  // a bad value shows no value
      {{Quality::Bad, 1, 5, 100}, {Quality::Bad, 1, 6, 100}, false},
      {{Quality::Bad, 0, -1, 100, LineReason::None, false}, {Quality::Bad, 0, -1, 900, LineReason::None, true}, false},  // first read failed
      {{Quality::Bad, 1, 5, 100, LineReason::Silent}, {Quality::Bad, 1, 5, 100, LineReason::Demoted}, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.a.SameAs(row.b), row.same);
    EXPECT_EQ(row.b.SameAs(row.a), row.same);
  }
}

TEST(GatewayMqttPayload, TagNamesOnlyCanonicalAndExisting) {
  struct Row {
    const char* name;
    bool ok;
    Area area;
    int index;
  } rows[] = {
      {"D0", true, Area::D, 0},    {"D100", true, Area::D, 100}, {"D8199", true, Area::D, 8199},
      {"D8200", false, Area::D, 0}, {"D0100", false, Area::D, 0}, {"d100", false, Area::D, 0},
      {"D", false, Area::D, 0},     {"D-1", false, Area::D, 0},   {"D1x", false, Area::D, 0},
      {"M10", true, Area::M, 1},   {"M0", true, Area::M, 0},     {"M8150", true, Area::M, 815},
      {"M12", false, Area::D, 0},   {"M8160", false, Area::D, 0}, {"X1", false, Area::D, 0},
      {"D99999999999", false, Area::D, 0},
  };
  for (const Row& row : rows) {
    Area area = Area::D;
    int index = -1;
    ASSERT_EQ(ParseTagName(row.name, &area, &index), row.ok) << row.name;
    if (!row.ok) continue;
    EXPECT_EQ(area, row.area) << row.name;
    EXPECT_EQ(index, row.index) << row.name;
    EXPECT_EQ(TagName(area, index), row.name);
  }
}

TEST(GatewayMqttPayload, WritePayloads) {
  struct Row {
    const char* payload;
    Area area;
    bool ok;
    long long value;
    const char* idJson;
    const char* why;  // a part of it
  } rows[] = {
      {R"({"value": 42, "id": "any text"})", Area::D, true, 42, R"("any text")", ""},
      {"42", Area::D, true, 42, "null", ""},
      {"65535", Area::D, true, 65535, "null", ""},
      {"0", Area::M, true, 0, "null", ""},
      {"255", Area::M, true, 255, "null", ""},
      {R"({"value": 7})", Area::D, true, 7, "null", ""},
      {R"({"value": 7, "id": 12})", Area::D, true, 7, "12", ""},
      {"65536", Area::D, false, 0, "null", "outside 0..65535"},
      {"-1", Area::D, false, 0, "null", "outside 0..65535"},
      {"256", Area::M, false, 0, "null", "outside 0..255"},
      {"18446744073709551615", Area::D, false, 0, "null", "outside"},
      {"42.5", Area::D, false, 0, "null", "not a whole number"},
      {"4.2e1", Area::D, false, 0, "null", "not a whole number"},
      {R"("42")", Area::D, false, 0, "null", "not a whole number"},
      {"true", Area::D, false, 0, "null", "not a whole number"},
      {R"({"id": "x"})", Area::D, false, 0, R"("x")", "no value"},
      {R"({"value": 1, "id": "x", "force": true})", Area::D, false, 0, R"("x")", "unknown key 'force'"},
      {R"({"valeu": 1})", Area::D, false, 0, "null", "unknown key 'valeu'"},
      {"", Area::D, false, 0, "null", "not JSON"},
      {"{", Area::D, false, 0, "null", "not JSON"},
      {"\xff\xfe", Area::D, false, 0, "null", "not JSON"},
  };
  for (const Row& row : rows) {
    SetRequest request;
    std::string why;
    ASSERT_EQ(ParseSetPayload(row.payload, row.area, &request, &why), row.ok) << row.payload << ": " << why;
    EXPECT_EQ(request.idJson, row.idJson) << row.payload;
    if (row.ok) {
      EXPECT_EQ(request.value, row.value) << row.payload;
    } else {
      EXPECT_NE(why.find(row.why), std::string::npos) << row.payload << ": " << why;
    }
  }
}

std::string Repeat(const std::string& part, size_t times) {
  std::string out;
  out.reserve(part.size() * times);
  for (size_t i = 0; i < times; ++i) out += part;
  return out;
}

// What anyone who may publish could send: each is refused with why, and
// an id is echoed only when it is one a result can carry.
TEST(GatewayMqttPayload, HostileWritePayloads) {
  const std::string id128(128, 'i'), id129(129, 'i');
  const std::string deep7 = Repeat("[", 7) + "1" + Repeat("]", 7);
  const std::string deep9 = Repeat("[", 9) + "1" + Repeat("]", 9);
  const std::string padded = "{\"value\": 1," + std::string(4096, ' ') + "\"id\": \"x\"}";
  struct Row {
    std::string name, payload;
    bool ok;
    std::string idJson, why;  // a part of why
  } rows[] = {
      {"200,000 nested arrays", Repeat("[", 200000), false, "null", "more than 4096"},
      {"100,000 nested objects", Repeat("{\"value\":", 100000), false, "null", "more than 4096"},
      {"nesting within the size", Repeat("[", 4000), false, "null", "nested deeper than 8"},
      {"objects within the size", Repeat("{\"value\":", 400), false, "null", "nested deeper than 8"},
      {"deep but balanced", deep9, false, "null", "nested deeper than 8"},
      {"brackets inside a string are text", "{\"value\": 1, \"id\": \"" + Repeat("[", 100) + "\"}", true,
       "\"" + Repeat("[", 100) + "\"", ""},
      {"an escaped quote does not end the string", R"({"value": 1, "id": "a\"[[[[[[[[[["})", true,
       R"("a\"[[[[[[[[[[")", ""},
      {"not deep enough to refuse, still no write", deep7, false, "null", "not a whole number"},
      {"the same value twice", R"({"value":1,"value":2})", false, "null", "'value' is given twice"},
      {"the same id twice", R"({"value":1,"id":"a","id":"b"})", false, "null", "'id' is given twice"},
      {"a duplicate deeper down", R"({"value":1,"id":7,"x":{"a":1,"a":2}})", false, "7", "'a' is given twice"},
      {"a 2 MB id", "{\"value\": 1, \"id\": \"" + std::string(2 << 20, 'x') + "\"}", false, "null",
       "more than 4096"},
      {"an id of 129 bytes", "{\"value\": 1, \"id\": \"" + id129 + "\"}", false, "null", "129 bytes long"},
      {"an id of 128 bytes", "{\"value\": 1, \"id\": \"" + id128 + "\"}", true, "\"" + id128 + "\"", ""},
      {"an id that is an object", R"({"value": 1, "id": {"a": 1}})", false, "null", "the id is object"},
      {"an id that is true", R"({"value": 1, "id": true})", false, "null", "the id is boolean"},
      {"an id that is null", R"({"value": 1, "id": null})", true, "null", ""},
      {"an id that is a fraction", R"({"value": 1, "id": 1.5})", true, "1.5", ""},
      {"just over the size", padded, false, "null", "more than 4096"},
      {"a long unknown key is cut", "{\"value\": 1, \"" + std::string(1000, 'k') + "\": 1}", false, "null",
       "unknown key '" + std::string(64, 'k') + "...'"},
  };
  for (const Row& row : rows) {
    SetRequest request;
    std::string why;
    ASSERT_EQ(ParseSetPayload(row.payload, Area::D, &request, &why), row.ok) << row.name << ": " << why;
    EXPECT_EQ(request.idJson, row.idJson) << row.name;
    EXPECT_NE(why.find(row.why), std::string::npos) << row.name << ": " << why;
    EXPECT_LE(why.size(), 200u) << row.name;
    EXPECT_LE(ResultPayload(request.idJson, false, -1, why).size(), 512u) << row.name;
  }
}

TEST(GatewayMqttPayload, QuotedTextIsCutOnACharacter) {
  struct Row {
    std::string text;
    size_t limit;
    std::string quoted;
  } rows[] = {
      {"abc", 3, "abc"},
      {"abcd", 3, "abc..."},
      {"a\xc3\xa9z", 2, "a..."},  // not half of the é
      {"a\xc3\xa9z", 3, "a\xc3\xa9..."},
      {"", 0, ""},
  };
  for (const Row& row : rows) EXPECT_EQ(Quoted(row.text, row.limit), row.quoted) << row.text;
}

TEST(GatewayMqttPayload, Results) {
  EXPECT_EQ(Json::parse(ResultPayload(R"("a")", true)), Json::parse(R"({"id":"a","ok":true})"));
  EXPECT_EQ(Json::parse(ResultPayload("null", false, 5, "receive time-out")),
            Json::parse(R"({"id":null,"ok":false,"code":5,"meaning":"receive time-out"})"));
  EXPECT_EQ(Json::parse(ResultPayload("12", false, -1, "not writable")),
            Json::parse(R"({"id":12,"ok":false,"code":null,"meaning":"not writable"})"));
  // An id beyond ASCII comes back as it was sent.
  SetRequest request;
  std::string why;
  ASSERT_TRUE(ParseSetPayload("{\"value\":1,\"id\":\"a\\u00e9\"}", Area::D, &request, &why));
  EXPECT_EQ(Json::parse(ResultPayload(request.idJson, true))["id"], "a\xc3\xa9");
}

TEST(GatewayMqttConfig, Prefixes) {
  struct Row {
    const char* prefix;
    bool ok;
  } rows[] = {{"quorvalend/line1", true}, {"a", true},  {"", false},    {"a/+/b", false}, {"a/#", false},
              {"/a", false},              {"a/", false}, {"a//b", false}, {"plant/line 1", true}};
  for (const Row& row : rows) {
    std::string why;
    EXPECT_EQ(CheckPrefix(row.prefix, &why), row.ok) << row.prefix << ": " << why;
    EXPECT_EQ(why.empty(), row.ok) << row.prefix;
  }
}

}  // namespace
}  // namespace qvgateway
