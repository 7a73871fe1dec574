// The driver on a line that behaves as plant lines do: replies that come
// too late, bytes after the CR, an adapter pulled out and put back.
#include <chrono>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#endif

#include "tests/support/driver_handle.h"
#include "tests/support/line_unplug.h"
#include "tests/support/scoped_setting.h"
#include "tests/support/simulator_process.h"

namespace qvtest {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTimeoutMs = 400;
// For a port whose transactions are answered: they end with the reply, and
// this time-out only keeps a slow machine (Wine in a VM under software
// emulation) from failing them.
constexpr int kAnsweredTimeoutMs = 5000;

long MsSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// CPU time this thread has used, in milliseconds.
double ThreadCpuMs() {
#if defined(_WIN32)
  FILETIME created, exited, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  auto ms = [](const FILETIME& t) { return ((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0; };
  return ms(kernel) + ms(user);
#else
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
#endif
}

void Write(DriverHandle& driver, int station, int address, int value) {
  HostBlock block(station, 0, 8, address, address, 1, {address});
  block.items[0].Put16(item::kValue, static_cast<int16_t>(value));
  ASSERT_EQ(driver.ExecuteBlock(block), 1) << "write D" << address << " at station " << station;
}

// Station 1's reply comes after the driver gave up on it and lands in the
// wait for station 2's: without the check station 2's item takes station
// 1's value; with it the reply is bad data and the item stays as it was.
TEST(LineLate, ALateReplyLandsInTheNextTransactionsWait) {
  for (const char* check : {"0", "1"}) {
    ScopedSetting setting("CheckStation", "QUORVALEND_CHECK_STATION", check);
    SimulatorProcess sim({"--station", "1", "--station", "2", "--fault", "late:650", "--fault-at", "3"});
    ASSERT_TRUE(sim.Started());
    DriverHandle driver;
    PortSettingsRec settings = MakePortSettings(sim.DevicePath().c_str(), 19200, kTimeoutMs);
    ASSERT_EQ(driver.OpenPort(settings), 1);
    Write(driver, 1, 100, 0x1111);
    Write(driver, 2, 100, 0x2222);

    HostBlock first(1, 0, 8, 100, 100, 0, {100});
    const auto start = Clock::now();
    EXPECT_EQ(driver.ExecuteBlock(first), 0) << check;
    EXPECT_EQ(driver.LastError(), 5) << check;
    EXPECT_GE(MsSince(start), kTimeoutMs);
    HostBlock second(2, 0, 8, 100, 100, 0, {100});
    const int32_t result = driver.ExecuteBlock(second);
    EXPECT_GE(MsSince(start), 650) << check << ": the second transaction ended on the late reply";
    if (check[0] == '0') {
      EXPECT_EQ(result, 1);
      EXPECT_EQ(second.items[0].GetU32(item::kValue), 0x1111u) << "station 1's value, taken as station 2's";
    } else {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(driver.LastError(), 6);
      EXPECT_EQ(second.items[0].bytes[item::kValue], 0xEE) << "untouched";
    }
    driver.ClosePort();
  }
}

// A line feed after the CR: the reply's last byte is not its end byte, so
// the driver waits on to its time-out and changes nothing.
TEST(LineTrailing, BytesAfterTheCrRunIntoTheTimeout) {
  SimulatorProcess sim({"--fault", "trailing", "--set", "D5=55"});
  ASSERT_TRUE(sim.Started());
  DriverHandle driver;
  PortSettingsRec settings = MakePortSettings(sim.DevicePath().c_str(), 19200, kTimeoutMs);
  ASSERT_EQ(driver.OpenPort(settings), 1);
  HostBlock block(1, 0, 8, 5, 5, 0, {5});
  const auto start = Clock::now();
  EXPECT_EQ(driver.ExecuteBlock(block), 0);
  EXPECT_EQ(driver.LastError(), 5);
  EXPECT_GE(MsSince(start), kTimeoutMs);
  EXPECT_EQ(block.items[0].bytes[item::kValue], 0xEE);
  EXPECT_NE(sim.Trace().find("[fault trailing]"), std::string::npos);
  driver.ClosePort();
}

// The adapter is pulled out in the middle of a scan: every transaction
// fails with a code and returns within its time-out, the thread sleeps
// rather than spins, and after the host closes and opens the port again
// the driver reads as before.
TEST(LineUnplug, EveryTransactionFailsPromptlyAndReopeningWorksAgain) {
  LineUnplug line({"--set", "D100=42"}, 3);
  ASSERT_TRUE(line.Started());
  DriverHandle driver;
  PortSettingsRec settings = MakePortSettings(line.DevicePath().c_str(), 19200, kTimeoutMs);
  ASSERT_EQ(driver.OpenPort(settings), 1);
  for (int i = 0; i < 3; ++i) {
    HostBlock block(1, 0, 8, 100, 100, 0, {100});
    ASSERT_EQ(driver.ExecuteBlock(block), 1) << i;
  }
  line.Unplug();

  // A host scanning block after block, 20 ms apart, for a second.
  const auto start = Clock::now();
  const double cpuBefore = ThreadCpuMs();
  int transactions = 0;
  long longest = 0;
  while (MsSince(start) < 1000 + kTimeoutMs) {
    HostBlock block(1, 0, 8, 100, 100, 0, {100});
    const auto one = Clock::now();
    EXPECT_EQ(driver.ExecuteBlock(block), 0) << "transaction " << transactions;
    longest = std::max(longest, MsSince(one));
    EXPECT_GT(driver.LastError(), 0) << "a failure has its code";
    EXPECT_EQ(block.items[0].bytes[item::kValue], 0xEE);
    ++transactions;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const double cpuMs = ThreadCpuMs() - cpuBefore;
  const long wallMs = MsSince(start);
  EXPECT_LT(longest, kTimeoutMs + 300) << "no hang";
  EXPECT_LT(cpuMs, wallMs / 10.0) << transactions << " transactions in " << wallMs << " ms: a busy loop";
  RecordProperty("unplugged_transactions", transactions);
  RecordProperty("unplugged_cpu_ms", static_cast<int>(cpuMs));

  ASSERT_TRUE(line.WaitUntilBack(10000));
  EXPECT_EQ(driver.ClosePort(), 1);
  // The line is back and answers again.
  settings = MakePortSettings(line.DevicePath().c_str(), 19200, kAnsweredTimeoutMs);
  bool open = false;
  for (int i = 0; i < 100 && !open; ++i) {
    open = driver.OpenPort(settings) == 1;
    if (!open) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(open) << "the port opens again once the adapter is back";
  HostBlock block(1, 0, 8, 100, 100, 0, {100});
  ASSERT_EQ(driver.ExecuteBlock(block), 1) << line.Trace();
  EXPECT_EQ(block.items[0].GetU32(item::kValue), 42u);
  driver.ClosePort();
}

}  // namespace
}  // namespace qvtest
