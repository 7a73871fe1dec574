// Named tags from tables: names and addresses taken or refused, raw
// registers to engineering values for every type and word order and
// back (refusals with why), a tag's quality from its registers, and the
// deadband's publishing rule.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/qvgateway/config/tag_config.h"
#include "tools/qvgateway/tags/tag_state.h"
#include "tools/qvgateway/tags/tag_value.h"

namespace qvgateway {
namespace {

TagConfig Tag(const char* address, TagType type, double scale = 1, double offset = 0,
              qvhost::WordOrder order = qvhost::WordOrder::HighFirst) {
  TagConfig tag;
  tag.type = type;
  std::string why;
  EXPECT_TRUE(ParseTagAddress(address, type, &tag, &why)) << address << ": " << why;
  tag.scale = scale;
  tag.offset = offset;
  tag.wordOrder = order;
  return tag;
}

TEST(GatewayTags, NamesTakenOrRefused) {
  struct Row {
    const char* name;
    const char* refusal;  // a part of the why, "" when taken
  } rows[] = {
      {"tank1/level", ""},           {"a_b-c.d/e", ""},       {"pump", ""},
      {"", "is empty"},              {"/tank", "empty part"}, {"tank/", "empty part"},
      {"tank//level", "empty part"}, {"tank/+", "'+'"},       {"tank/#", "'#'"},
      {"tank level", "' '"},         {"tänk", "holds"},       {"1/D200", "number only"},
      {"tank/set", "ends in 'set'"}, {"tank/status", "ends in 'status'"},
  };
  for (const Row& row : rows) {
    std::string why;
    EXPECT_EQ(CheckTagName(row.name, &why), std::string(row.refusal).empty()) << row.name;
    EXPECT_NE(why.find(row.refusal), std::string::npos) << row.name << ": " << why;
  }
}

TEST(GatewayTags, AddressesAgainstTypes) {
  struct Row {
    const char* address;
    TagType type;
    Area area;
    int index, bit;
    const char* refusal;
  } rows[] = {
      {"D200", TagType::F32, Area::D, 200, -1, ""},
      {"D8198", TagType::U32, Area::D, 8198, -1, ""},
      {"M12", TagType::Bool, Area::M, 1, 2, ""},
      {"M8157", TagType::Bool, Area::M, 815, 7, ""},
      {"D300.4", TagType::Bool, Area::D, 300, 4, ""},
      {"D300.15", TagType::Bool, Area::D, 300, 15, ""},
      {"D8199", TagType::S32, Area::D, 0, 0, "two registers"},
      {"D8200", TagType::U16, Area::D, 0, 0, "past the last"},
      {"M18", TagType::Bool, Area::M, 0, 0, "not an M bit"},
      {"M8160", TagType::Bool, Area::M, 0, 0, "not an M bit"},
      {"M12", TagType::U16, Area::M, 0, 0, "only a bool"},
      {"D300", TagType::Bool, Area::D, 0, 0, "one bit"},
      {"D300.4", TagType::U16, Area::D, 0, 0, "only a bool"},
      {"D300.16", TagType::Bool, Area::D, 0, 0, "0..15"},
      {"M12.1", TagType::Bool, Area::D, 0, 0, "not a register"},
      {"X1", TagType::U16, Area::D, 0, 0, "not a register"},
      {"D", TagType::U16, Area::D, 0, 0, "not a register"},
      {"D-1", TagType::U16, Area::D, 0, 0, "not a register"},
  };
  for (const Row& row : rows) {
    TagConfig tag;
    std::string why;
    const bool taken = ParseTagAddress(row.address, row.type, &tag, &why);
    EXPECT_EQ(taken, std::string(row.refusal).empty()) << row.address << ": " << why;
    EXPECT_NE(why.find(row.refusal), std::string::npos) << row.address << ": " << why;
    if (taken) {
      EXPECT_EQ(tag.area, row.area) << row.address;
      EXPECT_EQ(tag.index, row.index) << row.address;
      EXPECT_EQ(tag.bit, row.bit) << row.address;
    }
  }
}

TEST(GatewayTags, RawToEngineeringForEveryType) {
  using K = EngineeringValue::Kind;
  const auto low = qvhost::WordOrder::LowFirst;
  struct Row {
    const char* name;
    TagConfig tag;
    std::vector<uint16_t> words;
    K kind;
    double value;  // a bool: 0 or 1
    const char* bad;  // a part of the why, "" when good
  } rows[] = {
      {"u16", Tag("D1", TagType::U16), {65535}, K::Integer, 65535, ""},
      {"u16 scaled", Tag("D1", TagType::U16, 0.1), {425}, K::Real, 42.5, ""},
      {"u16 three tenths", Tag("D1", TagType::U16, 0.1), {3}, K::Real, 0.3, ""},
      {"s16 negative, offset", Tag("D1", TagType::S16, 0.5, -10), {0xFFF6}, K::Real, -15, ""},
      {"s16 integer scale", Tag("D1", TagType::S16, 2, 1), {0x8000}, K::Integer, -65535, ""},
      {"bcd", Tag("D1", TagType::Bcd, 0.01), {0x1234}, K::Real, 12.34, ""},
      {"not bcd", Tag("D1", TagType::Bcd), {0x12A4}, K::Integer, 0, "not BCD"},
      {"u32 high first", Tag("D1", TagType::U32), {0x0001, 0x0002}, K::Integer, 65538, ""},
      {"u32 low first", Tag("D1", TagType::U32, 1, 0, low), {0x0001, 0x0002}, K::Integer, 131073, ""},
      {"s32 high first", Tag("D1", TagType::S32, 0.001), {0xFFFF, 0xFFFE}, K::Real, -0.002, ""},
      {"s32 low first", Tag("D1", TagType::S32, 1, 0, low), {0xFFFE, 0xFFFF}, K::Integer, -2, ""},
      {"f32 high first", Tag("D1", TagType::F32), {0x4228, 0x6666}, K::Real, 42.1, ""},
      {"f32 low first, scaled", Tag("D1", TagType::F32, 10, 1, low), {0x0000, 0x3FC0}, K::Real, 16, ""},
      {"f32 NaN", Tag("D1", TagType::F32), {0x7FC0, 0x0000}, K::Real, 0, "NaN"},
      {"M bit set", Tag("M12", TagType::Bool), {0x04}, K::Bool, 1, ""},
      {"M bit clear", Tag("M12", TagType::Bool), {0xFB}, K::Bool, 0, ""},
      {"D bit", Tag("D300.15", TagType::Bool), {0x8000}, K::Bool, 1, ""},
  };
  for (const Row& row : rows) {
    EngineeringValue value;
    std::string why;
    const bool good = Engineering(row.tag, row.words, &value, &why);
    EXPECT_EQ(good, std::string(row.bad).empty()) << row.name << ": " << why;
    EXPECT_NE(why.find(row.bad), std::string::npos) << row.name << ": " << why;
    if (!good) continue;
    EXPECT_EQ(value.kind, row.kind) << row.name;
    EXPECT_EQ(value.Number(), row.value) << row.name;  // exactly: rounded to the scale's digits
  }
}

TEST(GatewayTags, EngineeringToRegisters) {
  const auto low = qvhost::WordOrder::LowFirst;
  TagConfig limited = Tag("D1", TagType::U16, 0.1);
  limited.hasMin = limited.hasMax = true;
  limited.min = 0;
  limited.max = 100;
  struct Row {
    const char* name;
    TagConfig tag;
    double value;
    std::vector<uint16_t> words;
    const char* refusal;  // a part of the why, "" when taken
  } rows[] = {
      {"u16 scaled", Tag("D1", TagType::U16, 0.1), 42.5, {425}, ""},
      {"s16 negative", Tag("D1", TagType::S16, 0.5, -10), -15, {0xFFF6}, ""},
      {"bcd", Tag("D1", TagType::Bcd, 0.01), 12.34, {0x1234}, ""},
      {"u32 high first", Tag("D1", TagType::U32), 65538, {0x0001, 0x0002}, ""},
      {"u32 low first", Tag("D1", TagType::U32, 1, 0, low), 131073, {0x0001, 0x0002}, ""},
      {"s32 both orders", Tag("D1", TagType::S32, 1, 0, low), -2, {0xFFFE, 0xFFFF}, ""},
      {"f32 any value", Tag("D1", TagType::F32, 3), 1.5, {0x3F00, 0x0000}, ""},
      {"inside min..max", limited, 100, {1000}, ""},
      {"above max", limited, 100.1, {}, "outside 0..100"},
      {"below min", limited, -0.1, {}, "outside 0..100"},
      {"between raw values", Tag("D1", TagType::U16, 0.1), 42.55, {}, "whole raw value"},
      {"u16 negative", Tag("D1", TagType::U16), -1, {}, "raw range 0..65535"},
      {"s16 too large", Tag("D1", TagType::S16, 0.1), 3276.8, {}, "raw range -32768..32767"},
      {"bcd above 9999", Tag("D1", TagType::Bcd), 10000, {}, "raw range 0..9999"},
      {"f32 too large", Tag("D1", TagType::F32), 1e39, {}, "too large"},
  };
  for (const Row& row : rows) {
    std::vector<uint16_t> words;
    std::string why;
    EXPECT_EQ(ToRegisters(row.tag, row.value, &words, &why), std::string(row.refusal).empty()) << row.name << ": "
                                                                                              << why;
    EXPECT_NE(why.find(row.refusal), std::string::npos) << row.name << ": " << why;
    EXPECT_EQ(words, row.words) << row.name;
  }
}

TEST(GatewayTags, QualityIsTheWorstOfItsRegisters) {
  const TagConfig f32 = Tag("D10", TagType::F32);
  struct Row {
    const char* name;
    bool firstGood, secondGood;
    int64_t readAt;
    Quality quality;
    int code;
  } rows[] = {
      {"both good", true, true, 900, Quality::Good, -1},
      {"old: stale", true, true, 100, Quality::Stale, -1},
      {"second bad", true, false, 900, Quality::Bad, 5},
      {"first bad", false, true, 900, Quality::Bad, 5},
  };
  for (const Row& row : rows) {
    StationCache cache;
    cache.StoreGood(Area::D, 10, {0x4228, 0x6666}, row.readAt, 500);
    if (!row.firstGood) cache.StoreBad(Area::D, 10, 1, LineFailed(LineReason::Silent, 5), 950);
    if (!row.secondGood) cache.StoreBad(Area::D, 11, 1, LineFailed(LineReason::Silent, 5), 950);
    const TagReading reading = ReadTag(f32, cache, 500, 1000, 50000);
    EXPECT_EQ(reading.quality, row.quality) << row.name;
    EXPECT_EQ(reading.code, row.code) << row.name;
    EXPECT_EQ(reading.reason, row.code < 0 ? LineReason::None : LineReason::Silent) << row.name;
    // The time is the registers' last change; the age their oldest read.
    EXPECT_EQ(reading.unixMs, 50000 - (1000 - (row.quality == Quality::Bad ? 950 : row.readAt))) << row.name;
    if (row.quality != Quality::Bad) {
      EXPECT_EQ(reading.value.Number(), 42.1) << row.name;
      EXPECT_EQ(reading.ageMs, 1000 - row.readAt) << row.name;
    }
  }
}

TEST(GatewayTags, DeadbandHoldsSmallChangesNotQuality) {
  auto reading = [](Quality quality, double value, int code = -1) {
    TagReading r;
    r.quality = quality;
    r.value.kind = EngineeringValue::Kind::Real;
    r.value.real = value;
    r.code = code;
    return r;
  };
  const TagReading last = reading(Quality::Good, 42.5);
  struct Row {
    const char* name;
    TagReading now;
    bool everPublished;
    double deadband;
    bool publish;
  } rows[] = {
      {"first value", last, false, 0.5, true},
      {"unchanged", last, true, 0, false},
      {"any change, no deadband", reading(Quality::Good, 42.6), true, 0, true},
      {"inside the deadband", reading(Quality::Good, 42.9), true, 0.5, false},
      {"on the deadband", reading(Quality::Good, 43.0), true, 0.5, false},
      {"past the deadband", reading(Quality::Good, 43.1), true, 0.5, true},
      {"past it downwards", reading(Quality::Good, 41.9), true, 0.5, true},
      {"stale, same value", reading(Quality::Stale, 42.5), true, 0.5, true},
      {"bad", reading(Quality::Bad, 0, 5), true, 100, true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(WorthPublishing(row.now, last, row.everPublished, row.deadband), row.publish) << row.name;
  }
  const TagReading bad = reading(Quality::Bad, 0, 5);
  EXPECT_FALSE(WorthPublishing(reading(Quality::Bad, 0, 5), bad, true, 0));
  EXPECT_TRUE(WorthPublishing(reading(Quality::Bad, 0, 6), bad, true, 0));
}

}  // namespace
}  // namespace qvgateway
