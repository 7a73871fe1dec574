// qvpoll's plan without a line: what a command line asks for, checked by
// the driver's own tag parser, and what it refuses before any port opens.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "driver/cquorvalendpro.h"
#include "tools/common/memory_preset.h"
#include "tools/common/number_text.h"
#include "tools/qvpoll/plan.h"

namespace {

using qvpoll::Options;
using qvpoll::Plan;

class PlanTest : public ::testing::Test {
 protected:
  PlanTest() : object_(quorvalend::CQuorvalendPro::Create()) {}
  ~PlanTest() override { object_->Release(); }

  // Parses a command line as qvpoll does; -1 when it would run.
  int Parse(std::vector<std::string> args, Options* options) {
    args.insert(args.begin(), "qvpoll");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    return qvpoll::ParseOptions(static_cast<int>(argv.size()), argv.data(), options);
  }
  bool Build(std::vector<std::string> args, Plan* plan, std::string* error) {
    Options options;
    if (Parse(args, &options) != -1) {
      *error = "usage";
      return false;
    }
    return qvpoll::BuildPlan(object_->DeviceDriver(), options, plan, error);
  }

  quorvalend::CQuorvalendPro* object_;
};

TEST(Numbers, LeadingZerosAreDecimalAndHexNeedsItsPrefix) {
  struct Case {
    const char* text;
    bool ok;
    int64_t value;
  } const cases[] = {
      {"0100", true, 100}, {"0777", true, 777}, {"09", true, 9},      {"0x1F", true, 31},  {"0X1f", true, 31},
      {"0", true, 0},      {"65535", true, 65535}, {"65536", false, 0}, {"", false, 0},  {"0x", false, 0},
      {"-1", false, 0},    {"+1", false, 0},    {" 1", false, 0},    {"1 ", false, 0},  {"7x", false, 0},
      {"1e3", false, 0},   {"99999999999999999999999", false, 0},
  };
  for (const auto& c : cases) {
    int64_t v = -1;
    EXPECT_EQ(qvtools::ParseNumber(c.text, 0, 65535, &v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
  int64_t v = 0;
  EXPECT_FALSE(qvtools::ParseDecimal("0x10", 0, 255, &v));
}

TEST(Numbers, PresetsFollowTheAreas) {
  struct Case {
    const char* text;
    bool ok;
    char area;
    int address;
    uint32_t value;
  } const cases[] = {
      {"D100=0100", true, 'D', 100, 100}, {"D0100=1", true, 'D', 100, 1},  {"M10=0x3C", true, 'M', 10, 0x3C},
      {"D8199=65535", true, 'D', 8199, 65535}, {"D8200=1", false, 0, 0, 0}, {"M13=1", false, 0, 0, 0},
      {"M10=256", false, 0, 0, 0},        {"d100=1", false, 0, 0, 0},      {"D100", false, 0, 0, 0},
      {"D100=", false, 0, 0, 0},          {"D=1", false, 0, 0, 0},         {"D0x10=1", false, 0, 0, 0},
  };
  for (const auto& c : cases) {
    qvtools::MemoryPreset preset;
    std::string problem;
    ASSERT_EQ(qvtools::ParsePreset(c.text, &preset, &problem), c.ok) << c.text << ": " << problem;
    if (c.ok) {
      EXPECT_EQ(preset.area, c.area);
      EXPECT_EQ(preset.address, c.address);
      EXPECT_EQ(preset.value, c.value);
    } else {
      EXPECT_NE(problem.find(c.text), std::string::npos) << "names the preset: " << problem;
    }
  }
}

TEST_F(PlanTest, WritesAndReadsKeepTheOrderTyped) {
  Plan plan;
  std::string error;
  ASSERT_TRUE(Build({"--sim", "--station", "7", "M30=1", " D120 ", "D100=0100", "D100", "D50=0x10", "M10"}, &plan,
                    &error))
      << error;
  EXPECT_EQ(plan.stations, std::vector<int>{7});
  ASSERT_EQ(plan.writes.size(), 3u);
  const char* const writes[] = {"M30", "D100", "D50"};
  const uint32_t values[] = {1, 100, 16};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(plan.writes[i].text, writes[i]);
    EXPECT_EQ(plan.writes[i].writeValue, values[i]);
    EXPECT_EQ(plan.writes[i].address.deviceAddress, 7);
  }
  ASSERT_EQ(plan.reads.size(), 3u);
  EXPECT_EQ(plan.reads[0].text, "D120") << "trimmed";
  EXPECT_EQ(plan.reads[1].text, "D100");
  EXPECT_EQ(plan.reads[2].text, "M10");

  // Writes go out one block each, in the order typed; reads are grouped.
  auto blocks = qvhost::GroupTags(object_->DeviceDriver(), plan.writes, true, 7);
  ASSERT_EQ(blocks.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(blocks[i]->tags.front()->text, writes[i]);
  EXPECT_EQ(qvhost::GroupTags(object_->DeviceDriver(), plan.reads, false, 7).size(), 2u);
}

TEST_F(PlanTest, RefusalsNameWhatIsWrong) {
  struct Case {
    std::vector<std::string> args;
    const char* named;
  } const cases[] = {
      {{"--sim", "X1..X5"}, "range 'X1..X5': a range is of D registers or M groups"},
      {{"--sim", "D100..D8200"}, "range 'D100..D8200': D goes up to D8199"},
      {{"--sim", "D131..D100"}, "range 'D131..D100': its end comes before its start"},
      {{"--sim", "M5..M30"}, "range 'M5..M30': M addresses go in tens"},
      {{"--sim", "D100..M130"}, "range 'D100..M130': a range stays in one area"},
      {{"--sim", "D8190:11"}, "range 'D8190:11': it runs past D8199"},
      {{"--sim", "M8150:2"}, "range 'M8150:2': it runs past M8150"},
      {{"--sim", "D100:0"}, "range 'D100:0': the count after ':' must be a count of 1..8200"},
      {{"--sim", "D100:x"}, "range 'D100:x'"},
      {{"--sim", "D1..D3=5"}, "range 'D1..D3=5': a write names one value"},
      {{"--sim", "--type", "f32", "D8198:2"}, "range 'D8198:2': it runs past D8199"},
      {{"--sim", "--type", "f32", "D8199"}, "D8199 is the last"},
      {{"--sim", "--type", "u32", "M10"}, "an M group is one byte"},
      {{"--sim", "--type", "s16", "D100=-32769"}, "'-32769' is outside -32768..32767"},
      {{"--sim", "--type", "s16", "M10=128"}, "'128' is outside -128..127"},
      {{"--sim", "--type", "bits", "D100=0101"}, "is not 16 bits"},
      {{"--sim", "--type", "bcd", "D100=10000"}, "'10000' is outside 0..9999"},
      {{"--sim", "--type", "f32", "D100=1.5x"}, "is not a finite 32-bit floating-point number"},
      {{"--sim", "--type", "f32", "D100=1e39"}, "is too large for f32"},
      {{"--sim", "--type", "f32", "D100=1e-46"}, "is too small for f32"},
      {{"--sim", "--type", "f32", "D100=inf"}, "is not a finite"},
      {{"--sim", "--type", "u32", "D100=4294967296"}, "outside 0..4294967295"},
      {{"--sim", "M13"}, "M10 is the group holding bits M10..M17"},
      {{"--sim", "D8200"}, "D registers go up to D8199"},
      {{"--sim", "X5"}, "unknown area"},
      {{"--sim", "D1.5"}, "only decimal digits"},
      {{"--sim", "D0000000001"}, "at most nine digits"},
      {{"--sim", "D100=65536"}, "'D100=65536': the value '65536' is outside 0..65535"},
      {{"--sim", "M10=0x100"}, "M10=0x100"},
      {{"--sim", "D100=0777x"}, "is not a number"},
      {{"--sim", "D100=-1"}, "a negative value needs a signed type, --type s16"},
      {{"--sim", "D100=x1"}, "is not a number"},
  };
  for (const auto& c : cases) {
    Plan plan;
    std::string error;
    EXPECT_FALSE(Build(c.args, &plan, &error)) << c.args.back();
    EXPECT_NE(error.find(c.named), std::string::npos) << error;
  }
}

TEST_F(PlanTest, OptionsRefusedBeforeAnyLineIsTouched) {
  const std::vector<std::vector<std::string>> refused = {
      {"--sim", "--station", "abc", "D1"}, {"--sim", "--station", "7x", "D1"},
      {"--sim", "--station", "65567", "D1"}, {"--sim", "--station", " 7 foo", "D1"},
      {"--sim", "--station", "32", "D1"},  {"--sim", "--station", "1", "--station", "2", "D1"},
      {"--sim", "--station", "-1", "D1"},  {"--sim", "--baud", "0x12C00", "D1"},
      {"--sim", "--baud", "115200", "D1"}, {"--sim", "--timeout", "40000", "D1"},
      {"--sim", "--count", "1x", "D1"},    {"--sim", "--sim-set", "D100=0x10000", "D1"},
      {"--sim", "--sim-station", "256", "D1"}, {"--sim-set", "D1=1", "--port", "COM1", "D1"},
      {"--port", "COM1", "--sim", "D1"},   {"--append", "--sim", "D1"},
      {"--sim"},                           {"D1"},
  };
  for (const auto& args : refused) {
    Options options;
    EXPECT_EQ(Parse(args, &options), 2) << ::testing::PrintToString(args);
  }
  Options options;
  ASSERT_EQ(Parse({"--sim", "--station", "0255", "--timeout", "0x10", "--count", "010", "--baud", "0x2580", "D1"},
                  &options),
            -1);
  EXPECT_EQ(options.baud, 9600);
  EXPECT_EQ(options.stations, std::vector<int>{255});
  EXPECT_EQ(options.timeoutMs, 16);
  EXPECT_EQ(options.count, 10);

  ASSERT_EQ(Parse({"--sim", "--station=1,2,5-8,255", "--type=s32", "--word-order", "low-first", "-q", "-v",
                   "--changes", "--", "D1"},
                  &options),
            -1);
  EXPECT_EQ(options.stations, (std::vector<int>{1, 2, 5, 6, 7, 8, 255}));
  EXPECT_EQ(options.type, qvhost::ValueType::S32);
  EXPECT_EQ(options.wordOrder, qvhost::WordOrder::LowFirst);
  EXPECT_TRUE(options.quiet && options.trace && options.changes);
  EXPECT_EQ(options.tags, std::vector<std::string>{"D1"});

  Options scan;
  ASSERT_EQ(Parse({"--sim", "--scan", "--bauds", "9600,0x4B00", "--parities", "even,none"}, &scan), -1);
  EXPECT_EQ(scan.bauds, (std::vector<int>{9600, 19200}));
  EXPECT_EQ(scan.parities, (std::vector<int>{2, 0}));
  EXPECT_EQ(scan.timeoutMs, 100) << "a scan waits briefly unless told";
}

TEST_F(PlanTest, RangesExpandToOneValueEach) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> values;
    size_t registers;
  } const cases[] = {
      {{"D100..D103"}, {"D100", "D101", "D102", "D103"}, 4},
      {{"d100..103"}, {"D100", "D101", "D102", "D103"}, 4},
      {{"D100:3"}, {"D100", "D101", "D102"}, 3},
      {{"M0..M30"}, {"M0", "M10", "M20", "M30"}, 4},
      {{"m10:2", "d7"}, {"M10", "M20", "D7"}, 3},
      {{"D8199:1"}, {"D8199"}, 1},
      {{"--type", "f32", "D100..D103"}, {"D100", "D102"}, 4},
      {{"--type", "u32", "D100:3"}, {"D100", "D102", "D104"}, 6},
      {{"--type", "s32", "D100..D102"}, {"D100", "D102"}, 4},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"--sim"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Plan plan;
    std::string error;
    ASSERT_TRUE(Build(args, &plan, &error)) << error;
    std::vector<std::string> values;
    for (const auto& v : plan.readValues) values.push_back(v.text);
    EXPECT_EQ(values, c.values) << ::testing::PrintToString(c.args);
    EXPECT_EQ(plan.reads.size(), c.registers) << ::testing::PrintToString(c.args);
  }
  Plan plan;
  std::string error;
  ASSERT_TRUE(Build({"--sim", "d100..d131"}, &plan, &error)) << error;
  EXPECT_EQ(qvhost::GroupTags(object_->DeviceDriver(), plan.reads, false, 1).size(), 1u) << "32 registers, one block";
}

TEST_F(PlanTest, SeveralStationsTakeEveryValueStationByStation) {
  Plan plan;
  std::string error;
  ASSERT_TRUE(Build({"--sim", "--station", "2,7", "--type", "f32", "--word-order", "low-first", "D10=1.5", "D20"},
                    &plan, &error))
      << error;
  ASSERT_EQ(plan.writeValues.size(), 2u);
  ASSERT_EQ(plan.writes.size(), 4u);
  // 1.5f is 0x3FC00000: low-first puts its low word in the lower register.
  const int stations[] = {2, 2, 7, 7};
  const int addresses[] = {10, 11, 10, 11};
  const uint32_t words[] = {0x0000, 0x3FC0, 0x0000, 0x3FC0};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(plan.writes[i].address.deviceAddress, stations[i]);
    EXPECT_EQ(plan.writes[i].address.registerAddress, addresses[i]);
    EXPECT_EQ(plan.writes[i].writeValue, words[i]);
  }
  EXPECT_EQ(plan.readValues[0].station, 2);
  EXPECT_EQ(plan.readValues[1].station, 7);
  EXPECT_EQ(plan.readValues[1].first, 2u);
}

TEST(ValueTypes, WhatIsShownIsWhatCanBeTyped) {
  using qvhost::ValueType;
  struct Case {
    qvhost::ValueType type;
    bool byteWide;
    const char* typed;
    uint32_t raw;
    const char* shown;
  } const cases[] = {
      {qvhost::ValueType::U16, false, "65535", 0xFFFF, "65535"},
      {qvhost::ValueType::S16, false, "-1", 0xFFFF, "-1"},
      {qvhost::ValueType::S16, false, "-32768", 0x8000, "-32768"},
      {qvhost::ValueType::S16, true, "-2", 0xFE, "-2"},
      {qvhost::ValueType::Hex, false, "0x04D2", 0x04D2, "0x04D2"},
      {qvhost::ValueType::Hex, true, "0x3C", 0x3C, "0x3C"},
      {qvhost::ValueType::Bcd, false, "1234", 0x1234, "1234"},
      {qvhost::ValueType::Bcd, true, "99", 0x99, "99"},
      {qvhost::ValueType::Bits, false, "0000_0100_1101_0010", 0x04D2, "0000_0100_1101_0010"},
      {qvhost::ValueType::Bits, true, "0011_1100", 0x3C, "0011_1100"},
      {qvhost::ValueType::U32, false, "4294967295", 0xFFFFFFFF, "4294967295"},
      {qvhost::ValueType::S32, false, "-100000", 0xFFFE7960, "-100000"},
      {qvhost::ValueType::F32, false, "1.5", 0x3FC00000, "1.5"},
      {qvhost::ValueType::F32, false, "-0.1", 0xBDCCCCCD, "-0.1"},
  };
  for (const auto& c : cases) {
    uint32_t raw = 0;
    std::string problem;
    ASSERT_TRUE(qvhost::ParseValue(c.type, c.typed, c.byteWide, &raw, &problem)) << c.typed << ": " << problem;
    EXPECT_EQ(raw, c.raw) << c.typed;
    EXPECT_EQ(qvhost::Show(c.type, raw, c.byteWide).text, c.shown) << c.typed;
    // The number the gateway's tags scale is the one shown, and goes back
    // to the same bits.
    double number = 0;
    uint32_t back = 0;
    ASSERT_TRUE(qvhost::RawToNumber(c.type, raw, c.byteWide, &number, &problem)) << c.typed;
    if (c.type != ValueType::Hex && c.type != ValueType::Bits && c.type != ValueType::F32) {
      EXPECT_EQ(number, strtod(c.shown, nullptr)) << c.typed;
    }
    ASSERT_TRUE(qvhost::NumberToRaw(c.type, number, c.byteWide, &back, &problem)) << c.typed << ": " << problem;
    EXPECT_EQ(back, c.raw) << c.typed;
  }
  EXPECT_FALSE(qvhost::Show(qvhost::ValueType::Bcd, 0x12A4, false).valid);
  uint32_t raw = 0;
  std::string problem;
  EXPECT_TRUE(qvhost::ParseValue(qvhost::ValueType::S16, "0xFFFF", false, &raw, &problem)) << "raw bits in hex";
  EXPECT_EQ(qvhost::Show(qvhost::ValueType::S16, raw, false).text, "-1");
  uint16_t first = 0, second = 0;
  qvhost::SplitWords(0x12345678, qvhost::WordOrder::HighFirst, &first, &second);
  EXPECT_EQ((first << 16) | second, 0x12345678);
  EXPECT_EQ(qvhost::JoinWords(first, second, qvhost::WordOrder::HighFirst), 0x12345678u);
  qvhost::SplitWords(0x12345678, qvhost::WordOrder::LowFirst, &first, &second);
  EXPECT_EQ((second << 16) | first, 0x12345678);
  EXPECT_EQ(qvhost::JoinWords(first, second, qvhost::WordOrder::LowFirst), 0x12345678u);
}

}  // namespace
