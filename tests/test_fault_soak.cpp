// Many transactions against a controller that garbles about one reply in
// five: reads and writes, "D" and "M", three stations sharing one line
// through a lent handle. Every failure must be a time-out or bad data, a
// failed transaction must leave its items untouched, and every good read
// must equal what the controller holds.
//
// QUORVALEND_SOAK_TRANSACTIONS sets how many (default 300);
// QUORVALEND_SOAK_SEED changes the random mix.
#include <stdlib.h>

#include <chrono>
#include <map>
#include <random>
#include <set>
#include <string>

#include "tests/support/driver_handle.h"
#include "tests/support/simulator_process.h"

namespace qvtest {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTimeoutMs = 150;
constexpr int kStations[] = {1, 2, 3};
constexpr int kDRegisters = 8200;
constexpr int kMGroups = 820;

long EnvNumber(const char* name, long fallback) {
  const char* text = getenv(name);
  return text != nullptr && *text != '\0' ? strtol(text, nullptr, 0) : fallback;
}

// What the controller may hold. A write that failed may or may not have
// reached it, so a register can have more than one possible value until a
// good read settles it.
class MemoryModel {
 public:
  MemoryModel() {
    for (auto& cell : d_) cell = {0};
    for (auto& cell : m_) cell = {0};
  }
  std::set<uint32_t>& D(int address) { return d_[address]; }
  std::set<uint32_t>& M(int group) { return m_[group]; }

 private:
  std::set<uint32_t> d_[kDRegisters];
  std::set<uint32_t> m_[kMGroups];
};

struct Tally {
  int reads = 0, writes = 0, good = 0;
  std::map<int32_t, int> failuresByCode;
};

class FaultSoak : public ::testing::Test {
 protected:
  void SetUp() override {
    seed = static_cast<unsigned>(EnvNumber("QUORVALEND_SOAK_SEED", 20261208));
    transactions = EnvNumber("QUORVALEND_SOAK_TRANSACTIONS", 300);
    sim = std::make_unique<SimulatorProcess>(std::vector<std::string>{
        "--station", "1", "--station", "2", "--station", "3", "--fault-rate", "0.2", "--seed",
        std::to_string(seed), "--split-pause", "5"});
    ASSERT_TRUE(sim->Started());
    PortSettingsRec settings = MakePortSettings(sim->DevicePath().c_str(), 57600, kTimeoutMs);
    ASSERT_EQ(drivers[0].OpenPort(settings), 1) << sim->DevicePath();
    // The other two borrow the line, as a host lends one port to the
    // drivers of several stations.
    const intptr_t handle = drivers[0].GetPortHandle();
    for (int i = 1; i < 3; ++i) {
      ASSERT_EQ(drivers[i].SetPortHandle(handle), 1);
      drivers[i].SetReplyTimeout(kTimeoutMs);
    }
  }
  void TearDown() override { drivers[0].ClosePort(); }

  // A random block as a host's grouping could make it, with now and then
  // an item outside the block's range, which must stay as it is.
  std::unique_ptr<HostBlock> RandomBlock(std::mt19937& random, bool* isWrite) {
    auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    const int station = kStations[pick(0, 2)];
    const bool d = pick(0, 1) == 0;
    *isWrite = pick(0, 3) == 0;
    std::unique_ptr<HostBlock> block;
    if (d) {
      const int span = *isWrite ? 0 : pick(0, 31);
      const int start = pick(0, kDRegisters - 1 - span);
      block = std::make_unique<HostBlock>(station, 0, 8, start, start + span, *isWrite ? 1 : 0,
                                          std::initializer_list<int>{});
      const int count = *isWrite ? 1 : pick(1, span + 1);
      for (int i = 0; i < count; ++i) AddItem(*block, pick(start, start + span));
      if (*isWrite) block->items[0].Put16(item::kValue, static_cast<int16_t>(pick(0, 0xFFFF)));
    } else {
      const int groups = *isWrite ? 1 : pick(1, 4);
      const int first = pick(0, kMGroups - groups);
      const int start = first * 10, end = (first + groups - 1) * 10;
      block = std::make_unique<HostBlock>(station, 1, 2, start, end, *isWrite ? 1 : 0,
                                          std::initializer_list<int>{});
      const int count = *isWrite ? 1 : pick(1, groups);
      for (int i = 0; i < count; ++i) AddItem(*block, *isWrite ? start : start + 10 * pick(0, groups - 1));
      if (*isWrite) block->items[0].Put8(item::kValue, static_cast<uint8_t>(pick(0, 0xFF)));
    }
    if (!*isWrite && pick(0, 9) == 0) AddItem(*block, block->End() + pick(1, 50));
    block->Link();
    return block;
  }

  static void AddItem(HostBlock& block, int address) {
    block.items.emplace_back(0xEE);
    block.items.back().Put16(item::kRegister, address);
  }

  // The model's cell behind an item, or null for an item outside the block.
  std::set<uint32_t>* CellOf(const HostBlock& block, const BlockItemRec& item) {
    const int address = static_cast<uint16_t>(item.Get16(item::kRegister));
    if (address < block.Start() || address > block.End()) return nullptr;
    return block.request.Get16(block::kTypeIndex) == 0 ? &model.D(address) : &model.M(address / 10);
  }

  static uint32_t ValueOf(const HostBlock& block, const BlockItemRec& item) {
    return block.request.Get16(block::kTypeIndex) == 0 ? static_cast<uint16_t>(item.Get16(item::kValue))
                                                        : item.bytes[item::kValue];
  }

  unsigned seed = 0;
  long transactions = 0;
  std::unique_ptr<SimulatorProcess> sim;
  DriverHandle drivers[3];
  MemoryModel model;
};

TEST_F(FaultSoak, EveryFailureIsTimeoutOrBadDataAndEveryGoodReadIsTrue) {
  std::mt19937 random(seed);
  Tally tally;
  for (long n = 0; n < transactions; ++n) {
    bool isWrite = false;
    std::unique_ptr<HostBlock> block = RandomBlock(random, &isWrite);
    std::vector<BlockItemRec> before = block->items;
    DriverHandle& driver = drivers[block->request.Get16(block::kDevice) - 1];
    const std::string what = "transaction " + std::to_string(n) + " (seed " + std::to_string(seed) + ")";

    const auto started = Clock::now();
    const int32_t result = driver.ExecuteBlock(*block);
    const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    ASSERT_LT(tookMs, 2 * kTimeoutMs + 500) << what << ": nothing may hang";
    (isWrite ? tally.writes : tally.reads)++;

    if (result != 1) {
      const int32_t code = driver.LastError();
      ASSERT_TRUE(code == 5 || code == 6) << what << ": error " << code;
      tally.failuresByCode[code]++;
      for (size_t i = 0; i < block->items.size(); ++i) {
        ASSERT_EQ(memcmp(block->items[i].bytes, before[i].bytes, sizeof before[i].bytes), 0)
            << what << ": a failed transaction touched item " << i;
      }
      // The write may have reached the controller before its reply was lost.
      if (isWrite) CellOf(*block, block->items[0])->insert(ValueOf(*block, block->items[0]));
      continue;
    }
    tally.good++;
    for (size_t i = 0; i < block->items.size(); ++i) {
      const BlockItemRec& item = block->items[i];
      std::set<uint32_t>* cell = CellOf(*block, item);
      if (isWrite) {
        *cell = {ValueOf(*block, item)};
        ASSERT_EQ(memcmp(item.bytes, before[i].bytes, sizeof item.bytes), 0) << what << ": a write changed its item";
      } else if (cell == nullptr) {
        ASSERT_EQ(memcmp(item.bytes, before[i].bytes, sizeof item.bytes), 0) << what << ": item outside the block";
      } else {
        const uint32_t value = ValueOf(*block, item);
        ASSERT_EQ(cell->count(value), 1u) << what << ": read " << value << " at " << item.Get16(item::kRegister)
                                          << ", which the controller never held";
        ASSERT_EQ(item.Get16(item::kQuality), 192) << what;
        *cell = {value};
      }
    }
  }

  const std::string trace = sim->Trace();
  for (const char* kind : {"silent", "nak", "status2", "split", "garbage", "short", "long", "nonhex"}) {
    EXPECT_NE(trace.find(std::string("[fault ") + kind + "]"), std::string::npos) << kind << " never injected";
  }
  const int failed = static_cast<int>(transactions) - tally.good;
  EXPECT_GT(tally.failuresByCode[5], 0);
  EXPECT_GT(tally.failuresByCode[6], 0);
  EXPECT_GT(tally.good, static_cast<int>(transactions) / 2);
  RecordProperty("good", tally.good);
  RecordProperty("failed", failed);
  printf("soak: %ld transactions (%d reads, %d writes): %d good, %d timed out (5), %d bad data (6)\n",
         transactions, tally.reads, tally.writes, tally.good, tally.failuresByCode[5], tally.failuresByCode[6]);
}

}  // namespace
}  // namespace qvtest
