// The Sparkplug edge node's pure parts: a tag's data type, its metric in a
// payload and back, commands decoded (and garbage refused), the sequence
// numbers and births, and a buffered change's record. The host's own
// decoding is in the end-to-end suite (test_qvgateway_sparkplug.py).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/qvgateway/sparkplug/buffered_change.h"
#include "tools/qvgateway/sparkplug/edge_node.h"
#include "tools/qvgateway/sparkplug/flight_book.h"
#include "tools/qvgateway/sparkplug/sparkplug_command.h"
#include "tools/qvgateway/sparkplug/sparkplug_payload.h"

namespace qvgateway {
namespace {

TagConfig Tag(TagType type, double scale = 1, double offset = 0, const std::string& unit = "") {
  TagConfig tag;
  tag.name = "tank1/level";
  tag.type = type;
  tag.scale = scale;
  tag.offset = offset;
  tag.unit = unit;
  return tag;
}

TEST(SparkplugTypes, EachTagTypeHasItsMetricType) {
  struct Case {
    TagType type;
    double scale, offset;
    SparkplugType expected;
  } cases[] = {
      {TagType::Bool, 1, 0, SparkplugType::Boolean}, {TagType::U16, 1, 0, SparkplugType::UInt16},
      {TagType::S16, 1, 0, SparkplugType::Int16},    {TagType::U32, 1, 0, SparkplugType::UInt32},
      {TagType::S32, 1, 0, SparkplugType::Int32},    {TagType::F32, 1, 0, SparkplugType::Float},
      {TagType::Bcd, 1, 0, SparkplugType::UInt16},   {TagType::U16, 0.1, 0, SparkplugType::Double},
      {TagType::S32, 1, -5, SparkplugType::Double},  {TagType::F32, 10, 1, SparkplugType::Double},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TagMetricType(Tag(c.type, c.scale, c.offset)), c.expected) << TagTypeName(c.type) << " x" << c.scale;
  }
  // The standard's codes, which a host decodes by.
  EXPECT_EQ(static_cast<int>(SparkplugType::Boolean), 11);
  EXPECT_EQ(static_cast<int>(SparkplugType::UInt16), 6);
  EXPECT_EQ(static_cast<int>(SparkplugType::Int16), 2);
  EXPECT_EQ(static_cast<int>(SparkplugType::UInt32), 7);
  EXPECT_EQ(static_cast<int>(SparkplugType::Int32), 3);
  EXPECT_EQ(static_cast<int>(SparkplugType::Float), 9);
  EXPECT_EQ(static_cast<int>(SparkplugType::Double), 10);
}

TagReading Reading(Quality quality, EngineeringValue::Kind kind, int64_t integer, double real, bool flag = false) {
  TagReading r;
  r.quality = quality;
  r.value.kind = kind;
  r.value.integer = integer;
  r.value.real = real;
  r.value.flag = flag;
  r.unixMs = 1796900000123;
  return r;
}

TEST(SparkplugPayload, AMetricComesBackAsItWasSent) {
  using K = EngineeringValue::Kind;
  struct Case {
    const char* what;
    TagConfig tag;
    TagReading reading;
    bool birth;
    int quality;
    bool isNull;
    int64_t integer;
    double real;
  } cases[] = {
      {"u16 good birth", Tag(TagType::U16, 1, 0, "rpm"), Reading(Quality::Good, K::Integer, 65535, 0), true, 192,
       false, 65535, 0},
      {"s16 negative", Tag(TagType::S16), Reading(Quality::Good, K::Integer, -10, 0), false, 192, false, -10, 0},
      {"s32 stale", Tag(TagType::S32), Reading(Quality::Stale, K::Integer, -2000000000, 0), false, 500, false,
       -2000000000, 0},
      {"u32 high", Tag(TagType::U32), Reading(Quality::Good, K::Integer, 4000000000, 0), false, 192, false,
       4000000000, 0},
      {"scaled", Tag(TagType::U16, 0.1, 0, "degC"), Reading(Quality::Good, K::Real, 0, 42.5), true, 192, false, 0,
       42.5},
      {"f32", Tag(TagType::F32), Reading(Quality::Good, K::Real, 0, 1.5), false, 192, false, 0, 1.5},
      {"bad is null", Tag(TagType::U16, 0.5), Reading(Quality::Bad, K::Integer, 0, 0), false, 0, true, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string bytes = EncodePayload(1796900000999, 7, {TagMetric(c.tag, 104, c.reading, c.birth)});
    int64_t unixMs = 0;
    int seq = 0;
    std::vector<MetricOut> back;
    ASSERT_TRUE(DecodeMetrics(bytes, &unixMs, &seq, &back));
    ASSERT_EQ(back.size(), 1u);
    const MetricOut& m = back[0];
    EXPECT_EQ(unixMs, 1796900000999);
    EXPECT_EQ(seq, 7);
    EXPECT_EQ(m.name, c.birth ? "tank1/level" : "") << "a name in births only: data goes by alias";
    EXPECT_EQ(m.alias, 104u);
    EXPECT_EQ(m.type, TagMetricType(c.tag));
    EXPECT_EQ(m.unixMs, 1796900000123);
    EXPECT_EQ(m.quality, c.quality);
    EXPECT_EQ(m.isNull, c.isNull);
    EXPECT_EQ(m.hasUnit, c.birth && !c.tag.unit.empty());
    if (m.hasUnit) {
      EXPECT_EQ(m.unit, c.tag.unit);
    }
    if (!c.isNull) {
      EXPECT_EQ(m.integer, c.integer);
      EXPECT_DOUBLE_EQ(m.real, c.real);
    }
  }
}

TEST(SparkplugPayload, NdeathHasNoSeqAndABirthSequenceOfItsOwn) {
  MetricOut bdSeq;
  bdSeq.name = "bdSeq";
  bdSeq.type = SparkplugType::Int64;
  bdSeq.integer = 200;
  int64_t unixMs = 0;
  int seq = 0;
  std::vector<MetricOut> back;
  ASSERT_TRUE(DecodeMetrics(EncodePayload(5, -1, {bdSeq}), &unixMs, &seq, &back));
  EXPECT_EQ(seq, -1);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].integer, 200);
}

TEST(SparkplugCommands, ValuesAreReadByTheirTypeAndGarbageIsRefused) {
  struct Case {
    const char* what;
    SparkplugType type;
    int64_t integer;
    double real;
    bool flag, isNull;
    CommandMetric::Kind kind;
    double number;
  } cases[] = {
      {"Boolean", SparkplugType::Boolean, 0, 0, true, false, CommandMetric::Kind::Boolean, 0},
      {"Int16 negative", SparkplugType::Int16, -1, 0, false, false, CommandMetric::Kind::Number, -1},
      {"UInt16", SparkplugType::UInt16, 65535, 0, false, false, CommandMetric::Kind::Number, 65535},
      {"UInt32", SparkplugType::UInt32, 4000000000, 0, false, false, CommandMetric::Kind::Number, 4000000000.0},
      {"Double", SparkplugType::Double, 0, 55.5, false, false, CommandMetric::Kind::Number, 55.5},
      {"null", SparkplugType::Double, 0, 0, false, true, CommandMetric::Kind::None, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MetricOut m;
    m.name = "speed";
    m.type = c.type;
    m.integer = c.integer;
    m.real = c.real;
    m.flag = c.flag;
    m.isNull = c.isNull;
    std::vector<CommandMetric> got;
    std::string why;
    ASSERT_TRUE(DecodeCommand(EncodePayload(1, 0, {m}), &got, &why)) << why;
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].name, "speed");
    EXPECT_FALSE(got[0].hasAlias);
    EXPECT_EQ(got[0].kind, c.kind);
    if (c.kind == CommandMetric::Kind::Number) {
      EXPECT_DOUBLE_EQ(got[0].number, c.number);
    } else if (c.kind == CommandMetric::Kind::Boolean) {
      EXPECT_EQ(got[0].flag, c.flag);
    }
  }
  const std::string garbage[] = {std::string("\xff\xff\xff", 3), std::string("\x12\x05\x0a", 3), "{\"value\": 1}"};
  for (const std::string& bytes : garbage) {
    std::vector<CommandMetric> got;
    std::string why;
    EXPECT_FALSE(DecodeCommand(bytes, &got, &why)) << bytes;
    EXPECT_NE(why, "");
  }
}

// Protobuf by hand: a length-delimited field holding `inner`.
std::string Field(int number, const std::string& inner) {
  std::string out(1, static_cast<char>(number << 3 | 2));
  for (size_t n = inner.size(); ; n >>= 7) {
    out += static_cast<char>((n & 0x7f) | (n >= 0x80 ? 0x80 : 0));
    if (n < 0x80) break;
  }
  return out + inner;
}

// A payload whose one metric's properties nest `levels` messages deep in
// all (the payload one): property values holding property sets.
std::string Nested(int levels) {
  std::string inner;  // the innermost property set, empty
  for (int level = levels; level > 3; --level) {
    inner = level % 2 == 0 ? Field(2, inner) : Field(9, inner);  // a set's value, a value's set
  }
  return Field(2, Field(1, "speed") + Field(9, inner));
}

TEST(SparkplugCommands, WhatAHostSendsIsBoundedBeforeItIsDecoded) {
  const struct {
    const char* what;
    std::string bytes;
    const char* why;  // empty: decoded
  } cases[] = {
      {"a metric and its properties", Nested(4), ""},
      {"sixteen messages deep", Nested(kMaxCommandNesting), ""},
      {"seventeen", Nested(kMaxCommandNesting + 1), "nested deeper than 16"},
      {"thousands deep within the size", Nested(12000), "nested deeper than 16"},
      {"larger than a command", Field(2, Field(1, std::string(kMaxCommandBytes, 'x'))), "more than a command's"},
      {"a length past the end", Field(2, Field(1, "speed")).substr(0, 5), "not a Sparkplug B payload"},
      {"a group", std::string("\x13\x14", 2), "not a Sparkplug B payload"},
      {"a varint that never ends", std::string(12, '\xff'), "not a Sparkplug B payload"},
  };
  for (const auto& c : cases) {
    std::vector<CommandMetric> got;
    std::string why;
    EXPECT_EQ(DecodeCommand(c.bytes, &got, &why), *c.why == 0) << c.what << ": " << why;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.what << ": " << why;
    if (*c.why == 0) {
      ASSERT_EQ(got.size(), 1u) << c.what;
      EXPECT_EQ(got[0].name, "speed");
    }
  }
}

TEST(SparkplugHostState, OnlyASmallObjectWithABooleanOnlineCounts) {
  const struct {
    std::string payload;
    int online;        // -1: refused
    const char* why;
  } cases[] = {
      {R"({"online": true, "timestamp": 1733839200000})", 1, ""},
      {R"({"online": false})", 0, ""},
      {R"({"online": "true"})", -1, "no boolean \"online\""},
      {R"([true])", -1, "no boolean"},
      {R"({"online": true, "online": false})", -1, "'online' is given twice"},
      {"{\"online\": true, \"pad\": \"" + std::string(kMaxStateBytes, ' ') + "\"}", -1, "more than 4096"},
      {R"({"online": true, "x": [[[[[[[[1]]]]]]]]})", -1, "nested deeper than 8"},
      {std::string(kMaxStateBytes, '['), -1, "nested deeper than 8"},
      {"online", -1, "not JSON"},
  };
  for (const auto& c : cases) {
    bool online = false;
    std::string why;
    EXPECT_EQ(ParseHostState(c.payload, &online, &why), c.online >= 0) << c.payload.substr(0, 60) << ": " << why;
    if (c.online >= 0) {
      EXPECT_EQ(online, c.online == 1) << c.payload;
    }
    EXPECT_NE(why.find(c.why), std::string::npos) << c.payload.substr(0, 60) << ": " << why;
  }
}

TEST(FlightBook, RecordsLeaveTheBufferInOrderAndOnlyOnceCarried) {
  // Steps: "s<mid>:<records>" sent (h: a replay's), "a<mid>" acknowledged,
  // "d<n>" the buffer dropped its n oldest, "c" the connection ended; after
  // each, the records landed (to take off the buffer) and still in flight.
  struct Step {
    const char* what;
    size_t landed, inFlight;
  };
  const struct {
    const char* name;
    std::vector<Step> steps;
    size_t historical;
  } cases[] = {
      {"in order", {{"s1:10", 0, 10}, {"s2:5", 0, 15}, {"a1", 10, 5}, {"a2", 5, 0}}, 0},
      {"out of order: held for the one before",
       {{"s1:10", 0, 10}, {"s2:5", 0, 15}, {"a2", 0, 15}, {"a1", 15, 0}}, 0},
      {"a birth's acknowledgement is no data's", {{"s1:10", 0, 10}, {"a7", 0, 10}, {"a1", 10, 0}}, 0},
      {"drops take the messages in flight first",
       {{"s1:10", 0, 10}, {"s2:10", 0, 20}, {"d15", 0, 5}, {"a1", 0, 5}, {"a2", 5, 0}}, 0},
      {"drops past what is in flight", {{"s1:10", 0, 10}, {"d25", 0, 0}, {"a1", 0, 0}}, 0},
      {"skipped records go with the ones before",
       {{"h1:10", 0, 10}, {"h-1:3", 0, 13}, {"a1", 13, 0}}, 13},
      {"a lost connection lands nothing", {{"h1:10", 0, 10}, {"s2:4", 0, 14}, {"c", 0, 0}, {"a1", 0, 0}}, 0},
      {"only a replay's count as replayed", {{"h1:10", 0, 10}, {"s2:4", 0, 14}, {"a1", 10, 4}, {"a2", 4, 0}}, 10},
  };
  for (const auto& c : cases) {
    FlightBook book;
    size_t historical = 0;
    for (const Step& step : c.steps) {
      const std::string what = step.what;
      if (what[0] == 's' || what[0] == 'h') {
        const size_t colon = what.find(':');
        book.Sent(std::stoi(what.substr(1, colon - 1)), std::stoul(what.substr(colon + 1)), what[0] == 'h');
      } else if (what[0] == 'a') {
        book.Acknowledged(std::stoi(what.substr(1)));
      } else if (what[0] == 'd') {
        book.Dropped(std::stoul(what.substr(1)));
      } else {
        book.Clear();
      }
      const FlightBook::Landed landed = book.TakeLanded();
      historical += landed.historical;
      EXPECT_EQ(landed.records, step.landed) << c.name << ", after " << what;
      EXPECT_EQ(book.Records(), step.inFlight) << c.name << ", after " << what;
    }
    EXPECT_EQ(historical, c.historical) << c.name;
  }
  FlightBook full;
  for (int mid = 1; full.Room(); ++mid) full.Sent(mid, 1, false);
  full.Acknowledged(1);
  full.TakeLanded();
  EXPECT_TRUE(full.Room()) << "room again once the first is acknowledged";
}

TEST(EdgeNodeSequence, SeqStartsAtTheBirthAndWrapsAfter255) {
  EdgeNode node(3);
  EXPECT_EQ(node.Birth(), 0);
  int last = 0;
  for (int i = 0; i < 255; ++i) last = node.Next();
  EXPECT_EQ(last, 255);
  EXPECT_EQ(node.Next(), 0);
  EXPECT_EQ(node.Next(), 1);
  EXPECT_EQ(node.Birth(), 0) << "a Rebirth starts the sequence again";
  EXPECT_EQ(node.BdSeq(), 3) << "and keeps the connection's bdSeq";
}

TEST(EdgeNodeSequence, BdSeqStepsOnlyAfterAConnectionThatWasBorn) {
  struct Case {
    int64_t first;
    bool born;
    int64_t next;
  } cases[] = {{0, true, 1}, {0, false, 0}, {255, true, 0}, {300, false, 44}};
  for (const Case& c : cases) {
    EdgeNode node(c.first);
    if (c.born) node.Birth();
    node.Died();
    EXPECT_EQ(node.BdSeq(), c.next) << c.first << (c.born ? " born" : " never born");
    EXPECT_FALSE(node.Born());
  }
}

TEST(EdgeNodeDevices, ADeviceIsBornWhenAliveAndDiesWhenNot) {
  StationHealth healthy, demoted;
  demoted.demoted = true;
  struct Case {
    bool lineUp;
    const StationHealth* health;
    bool everyRead, announced;
    DeviceStep step;
  } cases[] = {
      {true, &healthy, true, false, DeviceStep::Birth},  {true, &healthy, true, true, DeviceStep::None},
      {true, &healthy, false, false, DeviceStep::None},  {true, &demoted, true, true, DeviceStep::Death},
      {false, &healthy, true, true, DeviceStep::Death},  {false, &healthy, true, false, DeviceStep::None},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NextDeviceStep(c.announced, DeviceAlive(c.lineUp, *c.health, c.everyRead)), c.step)
        << c.lineUp << c.health->demoted << c.everyRead << c.announced;
  }
}

TEST(BufferedChange, ARecordComesBackWholeAndAnyOtherIsRefused) {
  using K = EngineeringValue::Kind;
  const TagReading readings[] = {Reading(Quality::Good, K::Integer, -123456789, 0),
                                 Reading(Quality::Stale, K::Real, 0, 42.5), Reading(Quality::Bad, K::Integer, 0, 0),
                                 Reading(Quality::Good, K::Bool, 0, 0, true)};
  for (const TagReading& r : readings) {
    const std::string bytes = EncodeChange("tank1/level", r);
    std::string name;
    TagReading back;
    ASSERT_TRUE(DecodeChange(bytes, &name, &back));
    EXPECT_EQ(name, "tank1/level");
    EXPECT_EQ(back.quality, r.quality);
    EXPECT_TRUE(back.value == r.value);
    std::string shorter = bytes.substr(0, bytes.size() - 1), other = bytes;
    other[0] = 9;
    EXPECT_FALSE(DecodeChange(shorter, &name, &back));
    EXPECT_FALSE(DecodeChange(other, &name, &back));
    EXPECT_FALSE(DecodeChange(bytes + "x", &name, &back));
  }
}

}  // namespace
}  // namespace qvgateway
