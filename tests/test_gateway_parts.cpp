// The line owner's pure parts: the queue's order (writes, then client
// reads, then polls; stations in turn; each station's order kept; full
// refused), the cache's freshness rules, the status registers, the wire
// time of a block.
#include <gtest/gtest.h>

#include <string>

#include "tools/qvgateway/line/request_queue.h"
#include "tools/qvgateway/line/station_cache.h"
#include "tools/qvgateway/line/station_health.h"
#include "tools/qvgateway/line/wire_time.h"

namespace qvgateway {
namespace {

TEST(GatewayQueue, PrioritiesThenStationsInTurnThenArrival) {
  RequestQueue<std::string> queue(4, 3);
  struct Push {
    Priority priority;
    size_t station;
    const char* job;
    bool accepted;
  };
  const Push pushes[] = {
      {Priority::Poll, 0, "poll0", true},     {Priority::ClientRead, 0, "read0a", true},
      {Priority::ClientRead, 0, "read0b", true}, {Priority::ClientRead, 2, "read2", true},
      {Priority::Write, 1, "write1", true},   {Priority::Write, 1, "write1-over", false},
      {Priority::Poll, 1, "poll1", true},  // polls take no client's place
  };
  for (const Push& p : pushes) EXPECT_EQ(queue.Push(p.priority, p.station, p.job), p.accepted) << p.job;
  const char* order[] = {"write1", "read0a", "read2", "read0b", "poll0", "poll1"};
  for (const char* expected : order) {
    std::string job;
    ASSERT_TRUE(queue.Pop(&job));
    EXPECT_EQ(job, expected);
  }
  std::string none;
  EXPECT_FALSE(queue.Pop(&none));
  EXPECT_TRUE(queue.Empty());
  EXPECT_EQ(queue.ClientRequests(), 0u);
}

TEST(GatewayQueue, RoundRobinDoesNotStarveAStation) {
  RequestQueue<int> queue(100, 2);
  for (int i = 0; i < 10; ++i) queue.Push(Priority::ClientRead, 0, i);
  queue.Push(Priority::ClientRead, 1, 100);
  int first = -1, second = -1;
  queue.Pop(&first);
  queue.Pop(&second);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 100);
}

TEST(GatewayCache, ServedOnlyGoodAndYoungEnough) {
  StationCache cache;
  cache.StoreGood(Area::D, 100, {1, 2, 3}, 1000, 500);
  uint16_t values[3] = {};
  struct Row {
    const char* name;
    int first, count, maxAge;
    int64_t now;
    bool fresh;
  } rows[] = {
      {"just read", 100, 3, 500, 1000, true},
      {"at the limit", 100, 3, 500, 1500, true},
      {"one ms too old", 100, 3, 500, 1501, false},
      {"one never read", 100, 4, 500, 1000, false},
      {"other area", 100, 1, 500, 1000, false},
  };
  for (const auto& r : rows) {
    const Area area = std::string(r.name) == "other area" ? Area::M : Area::D;
    EXPECT_EQ(cache.Fresh(area, r.first, r.count, r.maxAge, r.now, values), r.fresh) << r.name;
  }
  CachedValue look;
  EXPECT_EQ(cache.Look(Area::D, 100, 500, 1400, &look), Quality::Good);
  EXPECT_EQ(cache.Look(Area::D, 100, 500, 1600, &look), Quality::Stale);
  EXPECT_EQ(look.value, 1);
  cache.StoreBad(Area::D, 101, 1, LineFailed(LineReason::Refused, 6), 1000);
  EXPECT_FALSE(cache.Fresh(Area::D, 100, 3, 500, 1000, values)) << "a failed read is never hidden";
  EXPECT_EQ(cache.Look(Area::D, 101, 500, 1000, &look), Quality::Bad);
  EXPECT_EQ(look.code, 6);
  EXPECT_TRUE(look.tried) << "a failed read is not 'not read yet'";
  EXPECT_EQ(cache.Look(Area::D, 200, 500, 1000, &look), Quality::Bad);
  EXPECT_FALSE(look.tried);
  EXPECT_TRUE(cache.Fresh(Area::D, 100, 1, 500, 1000, values));
  cache.StoreWritten(Area::D, 101, 77, 1200, 500);
  ASSERT_TRUE(cache.Fresh(Area::D, 101, 1, 500, 1200, values));
  EXPECT_EQ(values[0], 77);
  RegisterSet readable;
  readable.Set(Area::D, 100);
  readable.Set(Area::D, 101);
  EXPECT_EQ(cache.OldestAgeMs(readable, 1300), 300);
  EXPECT_EQ(StationCache().OldestAgeMs(readable, 1300), -1);
}

// A value's time is when it last changed (value or quality), its age
// counts from its latest read; a bad one says why. Steps on one register,
// max_age_ms 500, each checked after it is done.
TEST(GatewayCache, TimeOfChangeAndWhy) {
  enum Op { Good, Bad, Written, Lost, Demoted, Back };
  struct Step {
    const char* name;
    Op op;
    uint16_t value;
    int64_t at;
    Quality quality;  // looked at `at`
    int64_t changedAt, readAt;
    LineReason reason;
    int code;
  } steps[] = {
      {"first read", Good, 7, 1000, Quality::Good, 1000, 1000, LineReason::None, -1},
      {"same value again", Good, 7, 1300, Quality::Good, 1000, 1300, LineReason::None, -1},
      {"a new value", Good, 8, 1600, Quality::Good, 1600, 1600, LineReason::None, -1},
      {"the same after it went stale", Good, 8, 2200, Quality::Good, 2200, 2200, LineReason::None, -1},
      {"a time-out", Bad, 0, 2300, Quality::Bad, 2300, 2200, LineReason::Silent, 5},
      {"the same time-out again", Bad, 0, 2400, Quality::Bad, 2300, 2200, LineReason::Silent, 5},
      {"demoted", Demoted, 0, 2500, Quality::Bad, 2500, 2200, LineReason::Demoted, 5},
      {"read again", Good, 8, 3000, Quality::Good, 3000, 3000, LineReason::None, -1},
      {"written the same", Written, 8, 3100, Quality::Good, 3000, 3100, LineReason::None, -1},
      {"written another", Written, 9, 3200, Quality::Good, 3200, 3200, LineReason::None, -1},
      {"port lost", Lost, 0, 3300, Quality::Bad, 3300, 3200, LineReason::PortLost, -1},
      {"port back, not read yet", Back, 0, 3400, Quality::Bad, 3400, 3200, LineReason::None, -1},
      {"read after the port came back", Good, 9, 3500, Quality::Good, 3500, 3500, LineReason::None, -1},
  };
  StationCache cache;
  for (const Step& s : steps) {
    switch (s.op) {
      case Good:
        cache.StoreGood(Area::M, 3, {s.value}, s.at, 500);
        break;
      case Bad:
        cache.StoreBad(Area::M, 3, 1, LineFailed(LineReason::Silent, 5), s.at);
        break;
      case Written:
        cache.StoreWritten(Area::M, 3, s.value, s.at, 500);
        break;
      case Lost:
        cache.AllBad(LineFailed(LineReason::PortLost), s.at);
        break;
      case Demoted:
        cache.AllBad(LineFailed(LineReason::Demoted, 5), s.at);
        break;
      case Back:
        cache.ForgetReason(LineReason::PortLost, s.at);
        break;
    }
    CachedValue look;
    EXPECT_EQ(cache.Look(Area::M, 3, 500, s.at, &look), s.quality) << s.name;
    EXPECT_EQ(look.changedAtMs, s.changedAt) << s.name;
    EXPECT_EQ(look.atMs, s.readAt) << s.name;
    EXPECT_EQ(look.reason, s.reason) << s.name;
    EXPECT_EQ(look.code, s.code) << s.name;
  }
  CachedValue other;
  cache.Look(Area::D, 0, 500, 3500, &other);
  EXPECT_EQ(other.reason, LineReason::None) << "a lost port's mark is gone from every value once it is back";
}

TEST(GatewayStatus, RegistersShowHealth) {
  StatusInputs in;
  in.health.transactions = 0x12345;
  in.health.timeouts = 70000;
  in.health.badReplies = 2;
  in.health.lastGood = true;
  in.health.lastError = 5;
  in.health.lastTransactionMs = 12.34;
  in.lineUp = true;
  in.oldestAgeMs = 1234;
  in.station = 7;
  uint16_t r[16];
  FillStatus(in, r);
  const uint16_t expected[16] = {1, 12, 1, 0x2345, 65535, 2, 0, 5, 0, 0, 1, 7, 0, 123, 0, 0};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(r[i], expected[i]) << "register " << 9000 + i;
  in.health.demoted = true;
  in.health.lastError = -1;
  in.oldestAgeMs = -1;
  FillStatus(in, r);
  EXPECT_EQ(r[0], 0);
  EXPECT_EQ(r[1], 65535);
  EXPECT_EQ(r[6], 1);
  EXPECT_EQ(r[7], 65535);
}

TEST(GatewayWireTime, BlocksAtTheLinesSpeed) {
  EXPECT_EQ(ReadTransactionBytes(Area::D, 32), 15 + 7 + 128);
  EXPECT_EQ(ReadTransactionBytes(Area::M, 4), 15 + 7 + 8);
  EXPECT_EQ(WriteTransactionBytes(Area::D), 26);
  EXPECT_EQ(WriteTransactionBytes(Area::M), 24);
  EXPECT_EQ(BitsPerByte(8, 0, 1), 10);
  EXPECT_EQ(BitsPerByte(7, 2, 2), 11);
  EXPECT_DOUBLE_EQ(WireMs(96, 10, 9600), 100.0);
}

}  // namespace
}  // namespace qvgateway
