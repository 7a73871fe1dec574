// qvpoll's plan without a line: what a command line asks for, checked by
// the driver's own tag parser, and what it refuses before any port opens.
#include <gtest/gtest.h>

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
  auto blocks = qvpoll::GroupTags(object_->DeviceDriver(), plan.writes, true, 7);
  ASSERT_EQ(blocks.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(blocks[i]->tags.front()->text, writes[i]);
  EXPECT_EQ(qvpoll::GroupTags(object_->DeviceDriver(), plan.reads, false, 7).size(), 2u);
}

TEST_F(PlanTest, RefusalsNameWhatIsWrong) {
  struct Case {
    std::vector<std::string> args;
    const char* named;
  } const cases[] = {
      {{"--sim", "d100"}, "area letters are upper case: D100"},
      {{"--sim", "M13"}, "M10 is the group holding bits M10..M17"},
      {{"--sim", "D8200"}, "D registers go up to D8199"},
      {{"--sim", "X5"}, "unknown area"},
      {{"--sim", "D1.5"}, "only decimal digits"},
      {{"--sim", "D0000000001"}, "at most nine digits"},
      {{"--sim", "D100=65536"}, "'D100=65536': the value '65536' is outside 0..65535"},
      {{"--sim", "M10=0x100"}, "M10=0x100"},
      {{"--sim", "D100=0777x"}, "is not a number"},
      {{"--sim", "D100=-1"}, "is not a number"},
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
}

}  // namespace
