// Many transactions on a multi-drop line: three stations share one port
// (one driver object opens it, two borrow the handle), each station with
// memory of its own whose every value carries the station's number, so a
// reply stored under the wrong station is seen.
//
// Garbled: the controller garbles about one reply in five. Every failure
// must be a time-out or bad data, a failed transaction must leave its items
// untouched, and every good read must equal what the controller holds.
// Late: station 2 now and then answers after the driver's time-out, into
// the wait of the next transaction. With the station check on no item may
// take another station's data; with it off the soak counts how often one
// does.
//
// QUORVALEND_SOAK_TRANSACTIONS sets how many per run (default 300);
// QUORVALEND_SOAK_SEED changes the random mix. Past 1,000 transactions the
// process's memory and handles at the end must equal those after the first
// 1,000.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/support/driver_handle.h"
#include "tests/support/process_resources.h"
#include "tests/support/scoped_setting.h"
#include "tests/support/simulator_process.h"
#include "tests/support/temp_path.h"

namespace qvtest {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTimeoutMs = 100;
constexpr int kLateMs = 170;  // past the time-out, within the next wait
constexpr int kStations = 3;  // 1, 2, 3
constexpr int kDCells = 32;   // D0..D31 at each station
constexpr int kMCells = 8;    // M0..M70
constexpr long kResidentSlackKb = 16;

long EnvNumber(const char* name, long fallback) {
  const char* text = getenv(name);
  return text != nullptr && *text != '\0' ? strtol(text, nullptr, 0) : fallback;
}

// A value of station s: D values have s in their top four bits, M values
// in their top two.
uint32_t Tagged(int station, bool d, uint32_t low) {
  return d ? (station << 12) | (low & 0xFFF) : (station << 6) | (low & 0x3F);
}
int StationOfValue(bool d, uint32_t value) { return static_cast<int>(d ? value >> 12 : value >> 6); }

// From the driver's trace: transactions that succeeded on a reply whose
// station digits are not their own, i.e. items or a write that took
// another station's reply.
long RepliesOfAnotherStation(const std::string& tracePath) {
  std::ifstream in(tracePath);
  long crossed = 0;
  for (std::string line; std::getline(in, line);) {
    const size_t station = line.find(" station "), reply = line.find(" <- 06 ");
    if (station == std::string::npos || reply == std::string::npos || line.find("  ok, ") == std::string::npos) {
      continue;
    }
    // "<- 06 30 31": the ACK, then the two station digits as hex bytes.
    const unsigned hi = std::stoul(line.substr(reply + 7, 2), nullptr, 16);
    const unsigned lo = std::stoul(line.substr(reply + 10, 2), nullptr, 16);
    const std::string digits{static_cast<char>(hi), static_cast<char>(lo)};
    crossed += std::stoi(digits, nullptr, 16) != std::stoi(line.substr(station + 9));
  }
  return crossed;
}

struct Tally {
  long reads = 0, writes = 0, good = 0;
  std::map<int32_t, long> failuresByCode;
  long otherStation = 0;  // successes on another station's reply (from the driver's trace)
  long wrongValues = 0;  // good reads whose values are not what the controller holds
  long afterTimeout = 0;  // of them, right after a time-out: that reply, come late
};

class FaultSoak : public ::testing::Test {
 protected:
  // Starts qvsim with `faults` and three drivers on its line, then fills
  // every station's cells with its own values.
  void Start(const std::vector<std::string>& faults, const char* checkStation) {
    seed = static_cast<unsigned>(EnvNumber("QUORVALEND_SOAK_SEED", 20261208));
    transactions = EnvNumber("QUORVALEND_SOAK_TRANSACTIONS", 300);
    ScopedSetting check("CheckStation", "QUORVALEND_CHECK_STATION", checkStation);
    // The driver's trace tells which station's reply each success took.
    tracePath = UniqueTempPath("soak-trace-") + ".txt";
    ScopedSetting trace("Trace", "QUORVALEND_TRACE", tracePath);
    ScopedSetting traceSize("TraceMaxKB", "QUORVALEND_TRACE_MAX_KB", "4194304");
    std::vector<std::string> args{"--station", "1", "--station", "2", "--station", "3", "--seed",
                                  std::to_string(seed), "--split-pause", "5"};
    args.insert(args.end(), faults.begin(), faults.end());
    sim = std::make_unique<SimulatorProcess>(args);
    ASSERT_TRUE(sim->Started());
    for (auto& d : drivers) d = std::make_unique<DriverHandle>();
    PortSettingsRec settings = MakePortSettings(sim->DevicePath().c_str(), 57600, kTimeoutMs);
    ASSERT_EQ(drivers[0]->OpenPort(settings), 1) << sim->DevicePath();
    const intptr_t handle = drivers[0]->GetPortHandle();
    for (int i = 1; i < kStations; ++i) {
      ASSERT_EQ(drivers[i]->SetPortHandle(handle), 1);
      drivers[i]->SetReplyTimeout(kTimeoutMs);
    }
    std::mt19937 random(seed);
    for (int station = 1; station <= kStations; ++station) {
      for (int i = 0; i < kDCells + kMCells; ++i) {
        const bool d = i < kDCells;
        HostBlock block(station, d ? 0 : 1, d ? 8 : 2, d ? i : (i - kDCells) * 10, d ? i : (i - kDCells) * 10, 1,
                        {d ? i : (i - kDCells) * 10});
        const uint32_t value = Tagged(station, d, random());
        if (d) block.items[0].Put16(item::kValue, static_cast<int16_t>(value));
        else block.items[0].Put8(item::kValue, static_cast<uint8_t>(value));
        // Sent until the controller acknowledges it: a refused write
        // (NAK, status 2) takes nothing.
        Cell(station, d, block.Start()) = value;
        for (int attempt = 0; attempt < 20 && Driver(station).ExecuteBlock(block) != 1; ++attempt) {
        }
      }
    }
    setupCrossings = RepliesOfAnotherStation(tracePath);
  }
  void TearDown() override {
    if (drivers[0]) drivers[0]->ClosePort();
    for (auto& d : drivers) d.reset();
    if (!tracePath.empty()) remove(tracePath.c_str());
  }

  DriverHandle& Driver(int station) { return *drivers[station - 1]; }
  // Values of failed writes to a cell that it may hold instead.
  std::vector<uint32_t>& Maybe(int station, bool d, int address) {
    return maybe[(station * 2 + (d ? 1 : 0)) * 100000 + address];
  }
  uint32_t& Cell(int station, bool d, int address) {
    return d ? dCells[station - 1][address] : mCells[station - 1][address / 10];
  }

  // A random block as a host's grouping could make it, with now and then
  // an item outside the block's range, which must stay as it is.
  std::unique_ptr<HostBlock> RandomBlock(std::mt19937& random, bool* isWrite) {
    auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    const int station = pick(1, kStations);
    const bool d = pick(0, 1) == 0;
    *isWrite = pick(0, 3) == 0;
    std::unique_ptr<HostBlock> block;
    if (d) {
      const int span = *isWrite ? 0 : pick(0, 15);
      const int start = pick(0, kDCells - 1 - span);
      block = std::make_unique<HostBlock>(station, 0, 8, start, start + span, *isWrite ? 1 : 0,
                                          std::initializer_list<int>{});
      const int count = *isWrite ? 1 : pick(1, span + 1);
      for (int i = 0; i < count; ++i) AddItem(*block, pick(start, start + span));
      if (*isWrite) block->items[0].Put16(item::kValue, static_cast<int16_t>(Tagged(station, true, random())));
    } else {
      const int groups = *isWrite ? 1 : pick(1, 4);
      const int first = pick(0, kMCells - groups);
      const int start = first * 10, end = (first + groups - 1) * 10;
      block = std::make_unique<HostBlock>(station, 1, 2, start, end, *isWrite ? 1 : 0,
                                          std::initializer_list<int>{});
      const int count = *isWrite ? 1 : pick(1, groups);
      for (int i = 0; i < count; ++i) AddItem(*block, *isWrite ? start : start + 10 * pick(0, groups - 1));
      if (*isWrite) block->items[0].Put8(item::kValue, static_cast<uint8_t>(Tagged(station, false, random())));
    }
    if (!*isWrite && pick(0, 9) == 0) AddItem(*block, block->End() + pick(1, 50));
    block->Link();
    return block;
  }

  static void AddItem(HostBlock& block, int address) {
    block.items.emplace_back(0xEE);
    block.items.back().Put16(item::kRegister, address);
  }

  static uint32_t ValueOf(bool d, const BlockItemRec& item) {
    return d ? static_cast<uint16_t>(item.Get16(item::kValue)) : item.bytes[item::kValue];
  }

  // The soak itself; `strict`: every good read must be true.
  void Run(bool strict, const char* name) {
    std::mt19937 random(seed);
    ProcessResources early;
    for (long n = 0; n < transactions; ++n) {
      if (n == 1000) early = CurrentResources();
      bool isWrite = false;
      std::unique_ptr<HostBlock> block = RandomBlock(random, &isWrite);
      ASSERT_NO_FATAL_FAILURE(One(*block, isWrite, strict, n));
    }
    if (transactions > 1000) {
      const ProcessResources end = CurrentResources();
      EXPECT_EQ(end.handles, early.handles) << "handles after 1,000 transactions and at the end";
      // The soak's own blocks and tallies come and go on the heap, which
      // may settle a page or two later; the driver's share does not move.
      EXPECT_LE(end.residentKb, early.residentKb + kResidentSlackKb)
          << "resident kilobytes after 1,000 transactions and at the end";
      printf("soak %s: after 1,000 transactions %ld KB, %ld handles; at the end %ld KB, %ld handles\n", name,
             early.residentKb, early.handles, end.residentKb, end.handles);
    }
    tally.otherStation = RepliesOfAnotherStation(tracePath) - setupCrossings;
    printf("soak %s: %ld transactions (%ld reads, %ld writes): %ld good, %ld timed out (5), %ld bad data (6); "
           "crossings: %ld took another station's reply; %ld reads gave wrong values (%ld of them right after a "
           "time-out)\n",
           name, transactions, tally.reads, tally.writes, tally.good, tally.failuresByCode[5],
           tally.failuresByCode[6], tally.otherStation, tally.wrongValues, tally.afterTimeout);
    RecordProperty("good", static_cast<int>(tally.good));
    RecordProperty("other_station_crossings", static_cast<int>(tally.otherStation));
  }

  void One(HostBlock& block, bool isWrite, bool strict, long n) {
    const std::vector<BlockItemRec> before = block.items;
    const int station = block.request.Get16(block::kDevice);
    const bool d = block.request.Get16(block::kTypeIndex) == 0;
    const std::string what = "transaction " + std::to_string(n) + " (seed " + std::to_string(seed) + ")";
    const auto started = Clock::now();
    const int32_t result = Driver(station).ExecuteBlock(block);
    const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    ASSERT_LT(tookMs, 2 * kTimeoutMs + 500) << what << ": nothing may hang";
    (isWrite ? tally.writes : tally.reads)++;
    // A write the controller acknowledged holds; one whose reply failed may
    // or may not have (a refusal takes nothing, a lost reply may have come
    // after the write was done), until a read shows which.
    if (isWrite) {
      const uint32_t written = ValueOf(d, block.items[0]);
      if (result == 1) {
        Cell(station, d, block.Start()) = written;
        Maybe(station, d, block.Start()).clear();
      } else {
        Maybe(station, d, block.Start()).push_back(written);
      }
    }
    const int lateFrom = timedOutStation;
    timedOutStation = result != 1 && Driver(station).LastError() == 5 ? station : -1;

    if (result != 1) {
      aligned = false;
      const int32_t code = Driver(station).LastError();
      ASSERT_TRUE(code == 5 || code == 6) << what << ": error " << code;
      tally.failuresByCode[code]++;
      for (size_t i = 0; i < block.items.size(); ++i) {
        ASSERT_EQ(memcmp(block.items[i].bytes, before[i].bytes, sizeof before[i].bytes), 0)
            << what << ": a failed transaction touched item " << i;
      }
      return;
    }
    tally.good++;
    bool wrong = false;
    for (size_t i = 0; i < block.items.size(); ++i) {
      const BlockItemRec& item = block.items[i];
      const int address = static_cast<uint16_t>(item.Get16(item::kRegister));
      if (isWrite || address < block.Start() || address > block.End()) {
        ASSERT_EQ(memcmp(item.bytes, before[i].bytes, sizeof item.bytes), 0) << what << ": item " << i;
        continue;
      }
      const uint32_t value = ValueOf(d, item);
      ASSERT_EQ(item.Get16(item::kQuality), 192) << what;
      std::vector<uint32_t>& maybe = Maybe(station, d, address);
      if (value != Cell(station, d, address) && std::find(maybe.begin(), maybe.end(), value) != maybe.end()) {
        Cell(station, d, address) = value;
      }
      if (value == Cell(station, d, address)) maybe.clear();
      if (value != Cell(station, d, address)) {
        wrong = true;
        // A reply that came too late for its own transaction (a loaded
        // machine delays the simulator too) shifts the line: each later
        // one may take its predecessor's, until a read proves it aligned.
        if (strict && aligned) {
          FAIL() << what << ": read " << value << " at " << address << " of station " << station << " (station "
                 << StationOfValue(d, value) << "'s?), which holds " << Cell(station, d, address);
        }
      }
    }
    tally.wrongValues += wrong;
    // A good write keeps the line as it was: its reply was its own when the
    // line was in step (a shifted line shows as a failure or a wrong read).
    if (!isWrite) aligned = !wrong;
    if (wrong && lateFrom >= 0) tally.afterTimeout++;
  }

  unsigned seed = 0;
  long transactions = 0;
  std::unique_ptr<SimulatorProcess> sim;
  std::unique_ptr<DriverHandle> drivers[kStations];
  std::map<long, std::vector<uint32_t>> maybe;
  uint32_t dCells[kStations][kDCells] = {};
  uint32_t mCells[kStations][kMCells] = {};
  Tally tally;
  int timedOutStation = -1;  // the station of the last transaction, if it timed out
  std::string tracePath;
  long setupCrossings = 0;  // before the soak proper, while the cells were filled
  bool aligned = false;     // the last transaction was a read that proved true
};

TEST_F(FaultSoak, GarbledRepliesFailAsTimeoutOrBadDataAndEveryGoodReadIsTrue) {
  ASSERT_NO_FATAL_FAILURE(Start({"--fault-rate", "0.2"}, "0"));
  ASSERT_NO_FATAL_FAILURE(Run(true, "garbled"));
  const std::string trace = sim->Trace();
  for (const char* kind : {"silent", "nak", "status2", "split", "garbage", "short", "long", "nonhex", "trailing"}) {
    EXPECT_NE(trace.find(std::string("[fault ") + kind + "]"), std::string::npos) << kind << " never injected";
  }
  EXPECT_GT(tally.failuresByCode[5], 0);
  EXPECT_GT(tally.failuresByCode[6], 0);
  EXPECT_GT(tally.good, transactions / 2);
}

const std::vector<std::string> kStationTwoLate = {"--fault", "late:" + std::to_string(kLateMs), "--fault-station",
                                                  "2", "--fault-rate", "0.1"};

TEST_F(FaultSoak, LateRepliesWithTheStationCheckNeverGiveAnotherStationsData) {
  ASSERT_NO_FATAL_FAILURE(Start(kStationTwoLate, "1"));
  ASSERT_NO_FATAL_FAILURE(Run(false, "late, CheckStation=1"));
  EXPECT_EQ(tally.otherStation, 0) << "no transaction may take another station's late reply";
  EXPECT_GT(tally.failuresByCode[6], 0) << "the check refused the late replies";
}

TEST_F(FaultSoak, LateRepliesWithoutTheStationCheckAreCountedAsCrossings) {
  ASSERT_NO_FATAL_FAILURE(Start(kStationTwoLate, "0"));
  ASSERT_NO_FATAL_FAILURE(Run(false, "late, CheckStation=0"));
  EXPECT_GT(tally.otherStation, 0) << "a late reply on a multi-drop line is taken as the next station's";
  EXPECT_GT(tally.wrongValues, 0) << "and its values are seen to be another station's";
}

}  // namespace
}  // namespace qvtest
