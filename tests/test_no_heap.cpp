// A transaction allocates nothing on the heap. Every allocation of this
// program is counted, so the count around ExecuteBlock is exact.
#include <stdio.h>

#include <fstream>
#include <string>

#include "tests/support/counting_allocator.h"
#include "tests/support/driver_handle.h"
#include "tests/support/fake_line.h"
#include "tests/support/fixed_reply_port.h"
#include "tests/support/temp_path.h"

namespace qvtest {
namespace {

TEST(NoHeap, ExecuteBlockAllocatesNothingForReadsWritesAndFailures) {
  FixedReplyPort port;
  FakeClock clock;
  quorvalend::ScopedDriverPlatform scope(quorvalend::DriverPlatform{&port, &clock});
  DriverHandle driver;
  driver.SetPortHandle(3);
  HostBlock read(1, 0, 8, 0, 31, 0, {0, 5, 31});
  HostBlock write(1, 0, 8, 7, 7, 1, {7});
  HostBlock m(1, 1, 2, 0, 30, 0, {0, 30});
  std::string data;
  for (int i = 0; i < 32; ++i) data += "1234";
  const std::string readReply = "\x06" "010" + data + "00\r";
  port.replies[0] = readReply.c_str();
  port.replies[1] = "\x06" "010" "00\r";
  port.replies[2] = "\x06" "010" "A1B2C3D4" "00\r";
  port.replies[3] = "\x15" "01\r";
  port.replies[4] = "";
  port.replyCount = 5;

  const long before = HeapAllocations();
  EXPECT_EQ(driver.ExecuteBlock(read), 1);
  EXPECT_EQ(driver.ExecuteBlock(write), 1);
  EXPECT_EQ(driver.ExecuteBlock(m), 1);
  EXPECT_EQ(driver.ExecuteBlock(read), 0);  // NAK
  EXPECT_EQ(driver.ExecuteBlock(write), 0);  // time-out: no reply arrives
  const long during = HeapAllocations() - before;

  EXPECT_EQ(during, 0);
  EXPECT_EQ(port.requests, 5);
  EXPECT_EQ(read.items[2].GetU32(item::kValue), 0x1234u);
  EXPECT_EQ(m.items[1].bytes[item::kValue], 0xD4);  // M30: the fourth group
}

// With the trace on, lines are made in fixed buffers: the transactions
// still allocate nothing (opening the trace, when the object is made, may).
TEST(NoHeap, NothingWithTheTraceOnEither) {
  FixedReplyPort port;
  FakeClock clock;
  FakeSettings settings;
  const std::string path = UniqueTempPath("qv-no-heap-trace-");
  remove(path.c_str());
  settings.values["Trace"] = path;
  quorvalend::ScopedDriverPlatform scope(quorvalend::DriverPlatform{&port, &clock, &settings});
  {
    // The driver writes its last line when it goes: the file is removed after.
    DriverHandle driver;
    driver.SetPortHandle(3);
    HostBlock read(1, 0, 8, 0, 3, 0, {0, 3});
    port.replies[0] = "\x06" "010" "0001000200030004" "00\r";
    port.replies[1] = "\x15" "01\r";
    port.replies[2] = "";
    port.replyCount = 3;

    const long before = HeapAllocations();
    EXPECT_EQ(driver.ExecuteBlock(read), 1);
    EXPECT_EQ(driver.ExecuteBlock(read), 0);  // NAK
    EXPECT_EQ(driver.ExecuteBlock(read), 0);  // time-out
    EXPECT_EQ(HeapAllocations() - before, 0);
    std::ifstream trace(path);
    int lines = 0;
    for (std::string line; std::getline(trace, line);) ++lines;
    EXPECT_EQ(lines, 1 + 1 + 3 * 2) << "created, lend, two lines a transaction";
  }
  remove(path.c_str());
}

// Each way a program can reach the heap is counted, on both targets, so the
// proof above would catch a stray malloc as surely as a stray new.
TEST(NoHeap, TheCounterSeesEveryKindOfAllocation) {
  // The pointer escapes, so the compiler cannot drop an allocation it sees
  // freed at once.
  auto keep = [](void* p) { asm volatile("" : : "r"(p) : "memory"); };
  struct {
    const char* name;
    void (*allocate)(void (*keep)(void*));
  } kinds[] = {
      {"malloc", [](void (*k)(void*)) { void* p = malloc(16); k(p); free(p); }},
      {"calloc", [](void (*k)(void*)) { void* p = calloc(4, 4); k(p); free(p); }},
      {"realloc", [](void (*k)(void*)) { void* p = realloc(nullptr, 16); k(p); free(p); }},
      {"new", [](void (*k)(void*)) { int* p = new int(3); k(p); delete p; }},
      {"new[]", [](void (*k)(void*)) { int* p = new int[4]; k(p); delete[] p; }},
  };
  for (const auto& kind : kinds) {
    const long before = HeapAllocations();
    kind.allocate(keep);
    EXPECT_GE(HeapAllocations() - before, 1) << kind.name;
  }
}

}  // namespace
}  // namespace qvtest
