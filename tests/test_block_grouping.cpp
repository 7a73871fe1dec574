// Which tags join which block, through the host's CanJoinBlock slot.
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tests/support/driver_handle.h"
#include "tests/support/fake_line.h"

namespace qvtest {
namespace {

TagAddressRec Tag(DriverHandle& driver, const std::string& text, int station) {
  TagAddressRec tag;
  TagDefinitionRec def = MakeTagDefinition(text.c_str(), text[0] == 'D' ? 8 : 2);
  EXPECT_EQ(driver.ParseTag(def, tag), 0) << text;
  tag.Put16(tag_address::kDevice, station);
  return tag;
}

BlockRequestRec Block(int station, int typeIndex, int operation, int start, int end) {
  BlockRequestRec block;
  block.Put16(block::kDevice, station);
  block.Put16(block::kTypeIndex, typeIndex);
  block.Put16(block::kDataType, typeIndex == 0 ? 8 : 2);
  block.Put16(block::kOperation, operation);
  block.Put32(block::kStart, start);
  block.Put32(block::kEnd, end);
  return block;
}

struct JoinCase {
  int blockType, blockOperation, start, end;
  const char* tag;
  int tagStation, operation, result, startAfter, endAfter;
};

void PrintTo(const JoinCase& c, std::ostream* os) { *os << ::testing::PrintToString(std::string(c.tag)); }

const JoinCase kJoins[] = {
    {0, 0, 100, 100, "D105", 1, 0, 1, 100, 105}, {0, 0, 100, 105, "D131", 1, 0, 1, 100, 131},
    {0, 0, 100, 105, "D132", 1, 0, 0, 100, 105}, {0, 0, 100, 105, "D90", 1, 0, 1, 90, 105},
    {0, 0, 100, 105, "D74", 1, 0, 1, 74, 105},   {0, 0, 100, 105, "D73", 1, 0, 0, 100, 105},
    {0, 0, 100, 105, "D102", 1, 0, 1, 100, 105}, {0, 0, 0, 31, "D20", 1, 0, 1, 0, 31},
    {0, 0, 0, 31, "D100", 1, 0, 0, 0, 31},       {0, 0, 100, 105, "D100", 2, 0, 0, 100, 105},
    {0, 0, 100, 105, "M10", 1, 0, 0, 100, 105},  {0, 0, 100, 105, "D101", 1, 1, 0, 100, 105},
    {1, 0, 0, 0, "M10", 1, 0, 1, 0, 10},         {1, 0, 0, 10, "M20", 1, 0, 1, 0, 20},
    {1, 0, 0, 20, "M30", 1, 0, 1, 0, 30},        {1, 0, 0, 30, "M40", 1, 0, 0, 0, 30},
    {0, 1, 100, 100, "D100", 1, 1, 1, 100, 100}, {0, 1, 100, 100, "D101", 1, 1, 0, 100, 100},
    {0, 1, 100, 100, "D99", 1, 1, 0, 100, 100},  {0, 1, 100, 100, "D100", 1, 0, 0, 100, 100},
    // Every operation other than 1 takes the read rule.
    {0, 5, 100, 100, "D110", 1, 5, 1, 100, 110},
};

class JoinTable : public ::testing::TestWithParam<JoinCase> {};

TEST_P(JoinTable, ResultAndRangeAndNoErrorSet) {
  const JoinCase& c = GetParam();
  DriverHandle driver;
  int32_t station = 0;
  driver.CheckDeviceAddress("40", &station);  // an earlier failure: 18
  TagAddressRec tag = Tag(driver, c.tag, c.tagStation);
  BlockRequestRec block = Block(1, c.blockType, c.blockOperation, c.start, c.end);
  const BlockRequestRec before = block;
  const TagAddressRec tagBefore = tag;

  EXPECT_EQ(driver.CanJoinBlock(tag, c.operation, block), c.result);
  EXPECT_EQ(block.Get32(block::kStart), c.startAfter);
  EXPECT_EQ(block.Get32(block::kEnd), c.endAfter);
  BlockRequestRec expected = before;
  expected.Put32(block::kStart, c.startAfter);
  expected.Put32(block::kEnd, c.endAfter);
  EXPECT_EQ(memcmp(block.bytes, expected.bytes, sizeof block.bytes), 0) << "only start or end may change";
  EXPECT_EQ(memcmp(tag.bytes, tagBefore.bytes, sizeof tag.bytes), 0);
  EXPECT_EQ(driver.LastError(), 18);
}

INSTANTIATE_TEST_SUITE_P(WorkedExamples, JoinTable, ::testing::ValuesIn(kJoins),
                         [](const auto& info) { return CaseName(info.index, info.param.tag); });

TEST(CanJoinBlock, TheOrderOfOffersDecides) {
  DriverHandle driver;
  TagAddressRec d131 = Tag(driver, "D131", 1), d69 = Tag(driver, "D69", 1);
  BlockRequestRec first = Block(1, 0, 0, 100, 100);
  EXPECT_EQ(driver.CanJoinBlock(d131, 0, first), 1);
  EXPECT_EQ(driver.CanJoinBlock(d69, 0, first), 0);
  EXPECT_EQ(first.Get32(block::kStart), 100);
  EXPECT_EQ(first.Get32(block::kEnd), 131);

  BlockRequestRec second = Block(1, 0, 0, 100, 100);
  EXPECT_EQ(driver.CanJoinBlock(d69, 0, second), 1);
  EXPECT_EQ(driver.CanJoinBlock(d131, 0, second), 0);
  EXPECT_EQ(second.Get32(block::kStart), 69);
  EXPECT_EQ(second.Get32(block::kEnd), 100);
  EXPECT_EQ(driver.LastError(), -1);
}

TEST(CanJoinBlock, DataTypeIsNotCompared) {
  DriverHandle driver;
  TagAddressRec tag;
  TagDefinitionRec def = MakeTagDefinition("D103", 10);
  ASSERT_EQ(driver.ParseTag(def, tag), 0);
  tag.Put16(tag_address::kDevice, 1);
  BlockRequestRec block = Block(1, 0, 0, 100, 100);
  EXPECT_EQ(driver.CanJoinBlock(tag, 0, block), 1);
  EXPECT_EQ(block.Get16(block::kDataType), 8);
}

TEST(CanJoinBlock, HostileRangesNeitherWrapNorWiden) {
  DriverHandle driver;
  TagAddressRec tag = Tag(driver, "D100", 1);
  BlockRequestRec wide = Block(1, 0, 0, -2147483647 - 1, 2147483647);
  EXPECT_EQ(driver.CanJoinBlock(tag, 0, wide), 1);  // inside: unchanged
  BlockRequestRec high = Block(1, 0, 0, 2147483600, 2147483647);
  EXPECT_EQ(driver.CanJoinBlock(tag, 0, high), 0);
  EXPECT_EQ(high.Get32(block::kStart), 2147483600);
}

// Grouping as a host does it, then every block's frame must cover every
// register it holds.
TEST(GroupingProperty, FramesCoverEveryTagOfEveryBlockGroupingBuilds) {
  FakeLine line;
  DriverHandle driver;
  driver.SetPortHandle(9);
  std::mt19937 random(20261208);
  for (int round = 0; round < 200; ++round) {
    const bool m = random() % 2 == 1;
    const int operation = random() % 4 == 0 ? 1 : 0;
    std::vector<TagAddressRec> tags;
    std::vector<int> addresses;
    const int count = 1 + static_cast<int>(random() % 40);
    const int base = static_cast<int>(random() % 8000);
    for (int i = 0; i < count; ++i) {
      int address = base + static_cast<int>(random() % 120);
      if (m) address = std::min(address / 10 * 10, 8150);
      address = std::min(address, 8199);
      tags.push_back(Tag(driver, (m ? "M" : "D") + std::to_string(address), 1));
      addresses.push_back(address);
    }
    std::vector<size_t> order(tags.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), random);

    // Open a block with the first unplaced tag, offer the rest in order.
    std::vector<bool> placed(tags.size(), false);
    for (size_t opener : order) {
      if (placed[opener]) continue;
      HostBlock block(1, m ? 1 : 0, m ? 2 : 8, addresses[opener], addresses[opener], operation, {});
      std::vector<size_t> members{opener};
      placed[opener] = true;
      for (size_t other : order) {
        if (placed[other]) continue;
        if (driver.CanJoinBlock(tags[other], operation, block.request)) {
          placed[other] = true;
          members.push_back(other);
        }
      }
      for (size_t member : members) {
        block.items.emplace_back(0);
        block.items.back().Put16(item::kRegister, addresses[member]);
      }
      block.Link();
      const int32_t start = block.Start(), end = block.End();
      ASSERT_LE(end - start + 1, 32);
      for (size_t member : members) {
        ASSERT_GE(addresses[member], start);
        ASSERT_LE(addresses[member], end);
      }
      line.port.writes.clear();
      driver.ExecuteBlock(block);
      ASSERT_EQ(line.port.writes.size(), 1u);
      const std::string frame = line.port.writes[0];
      const int countField = std::stoi(frame.substr(10, 2), nullptr, 16);
      if (operation == 1) {
        ASSERT_EQ(frame.size(), m ? 17u : 19u);
        ASSERT_EQ(start, end);
      } else {
        ASSERT_EQ(frame.size(), 15u);
        const int frameStart = std::stoi(frame.substr(6, 4));
        ASSERT_EQ(frameStart, start);
        // Every member's register lies within what the count asks for.
        for (size_t member : members) {
          const int rel = addresses[member] - start;
          if (m) {
            ASSERT_LT(rel / 10, countField);
          } else {
            ASSERT_LT(2 * rel + 1, countField);
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace qvtest
