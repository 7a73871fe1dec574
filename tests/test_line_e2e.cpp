// The driver end to end on a real line, with qvsim on the far end.
#include <chrono>
#include <string>
#include <thread>

#if !defined(_WIN32)
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "platform/clock.h"
#include "tests/support/driver_handle.h"
#include "tests/support/scoped_setting.h"
#include "tests/support/simulator_process.h"

namespace qvtest {
namespace {

using Clock = std::chrono::steady_clock;
// The time-out of the tests that wait for it to pass.
constexpr int kTimeoutMs = 400;
// A transaction that is answered ends with the reply, whatever its
// time-out; this one only keeps a slow machine (Wine in a VM under software
// emulation) from failing an answered transaction.
constexpr int kAnsweredTimeoutMs = 5000;

PortSettingsRec Settings(const std::string& port, int baud = 19200, int timeoutMs = kAnsweredTimeoutMs) {
  return MakePortSettings(port.c_str(), baud, timeoutMs);
}

// A driver with its port open on a line that qvsim serves.
class Line : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> args, int timeoutMs = kAnsweredTimeoutMs) {
    sim = std::make_unique<SimulatorProcess>(args);
    ASSERT_TRUE(sim->Started());
    PortSettingsRec settings = Settings(sim->DevicePath(), 19200, timeoutMs);
    ASSERT_EQ(driver.OpenPort(settings), 1) << sim->DevicePath();
  }
  void TearDown() override { driver.ClosePort(); }

  void ExpectUntouched(const HostBlock& block) {
    for (const auto& item : block.items) {
      for (size_t i = 4; i < sizeof item.bytes; ++i) ASSERT_EQ(item.bytes[i], 0xEE) << "item byte " << i;
    }
  }

  std::unique_ptr<SimulatorProcess> sim;
  DriverHandle driver;
};

TEST_F(Line, ReadsDRegistersWithQualityAndTime) {
  Start({"--set", "D100=1", "--set", "D101=2", "--set", "D102=0x1234", "--set", "D103=0xFFFF"});
  HostBlock block(1, 0, 8, 100, 103, 0, {100, 101, 102, 103});
  const uint64_t before = quorvalend::SystemClock().FileTimeNow();
  ASSERT_EQ(driver.ExecuteBlock(block), 1) << sim->Trace();
  const uint32_t expected[] = {1, 2, 0x1234, 0xFFFF};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(block.items[i].GetU32(item::kValue), expected[i]);
    EXPECT_EQ(block.items[i].Get16(item::kQuality), 192);
    const uint64_t stamp = block.items[i].Get64(item::kTimestamp);
    EXPECT_GE(stamp + 10000000u, before);
    EXPECT_LE(stamp, before + 10000000u) << "within a second of the wall clock";
  }
}

TEST_F(Line, ReadsMGroups) {
  Start({"--set", "M10=0xA1", "--set", "M20=0x5A", "--set", "M30=0xC3"});
  HostBlock block(1, 1, 2, 10, 30, 0, {10, 30});
  ASSERT_EQ(driver.ExecuteBlock(block), 1) << sim->Trace();
  EXPECT_EQ(block.items[0].bytes[item::kValue], 0xA1);
  EXPECT_EQ(block.items[1].bytes[item::kValue], 0xC3);
}

TEST_F(Line, WritesAreReadBack) {
  Start({"--station", "3"});
  HostBlock writeD(3, 0, 8, 500, 500, 1, {500});
  writeD.items[0].Put16(item::kValue, 0xBEEF);
  ASSERT_EQ(driver.ExecuteBlock(writeD), 1) << sim->Trace();
  HostBlock writeM(3, 1, 2, 8150, 8150, 1, {8150});
  writeM.items[0].Put8(item::kValue, 0x7E);
  ASSERT_EQ(driver.ExecuteBlock(writeM), 1);

  HostBlock readD(3, 0, 8, 499, 501, 0, {499, 500, 501});
  ASSERT_EQ(driver.ExecuteBlock(readD), 1);
  EXPECT_EQ(readD.items[0].GetU32(item::kValue), 0u);
  EXPECT_EQ(readD.items[1].GetU32(item::kValue), 0xBEEFu);
  HostBlock readM(3, 1, 2, 8150, 8150, 0, {8150});
  ASSERT_EQ(driver.ExecuteBlock(readM), 1);
  EXPECT_EQ(readM.items[0].bytes[item::kValue], 0x7E);
}

TEST_F(Line, RefusedRepliesAreErrorSixAndTouchNothing) {
  for (const char* fault : {"nak", "status2", "short", "nonhex"}) {
    Start({"--fault", fault});
    HostBlock block(1, 0, 8, 100, 101, 0, {100, 101});
    EXPECT_EQ(driver.ExecuteBlock(block), 0) << fault;
    EXPECT_EQ(driver.LastError(), 6) << fault;
    ExpectUntouched(block);
    driver.ClosePort();
  }
}

TEST_F(Line, AnAddressPastTheAreaIsStatusTwo) {
  Start({});
  HostBlock block(1, 0, 8, 8190, 8221, 0, {8190});
  EXPECT_EQ(driver.ExecuteBlock(block), 0);
  EXPECT_EQ(driver.LastError(), 6);
  ExpectUntouched(block);
}

TEST_F(Line, NoReplyTimesOutWithinTwiceTheTimeout) {
  Start({"--station", "2"}, kTimeoutMs);
  HostBlock block(1, 0, 8, 100, 100, 0, {100});
  const auto start = Clock::now();
  EXPECT_EQ(driver.ExecuteBlock(block), 0);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(driver.LastError(), 5);
  EXPECT_GE(ms, kTimeoutMs);
  EXPECT_LT(ms, 2 * kTimeoutMs);
  ExpectUntouched(block);
}

// The bench relies on a paced simulator taking the wire time of request
// and reply: 15 + 135 bytes at 9600 baud, 10 bits each, are 156 ms.
TEST_F(Line, APacedSimulatorTakesTheWireTime) {
  Start({"--baud", "9600", "--turnaround", "2"});
  std::initializer_list<int> all = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                                    16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};
  HostBlock block(1, 0, 8, 0, 31, 0, all);
  const auto start = Clock::now();
  ASSERT_EQ(driver.ExecuteBlock(block), 1) << sim->Trace();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_GE(ms, 156 + 2);
}

TEST_F(Line, GarbageBeforeTheReplyNeverCompletesIt) {
  Start({"--fault", "garbage"}, kTimeoutMs);
  HostBlock block(1, 0, 8, 100, 100, 0, {100});
  EXPECT_EQ(driver.ExecuteBlock(block), 0);
  EXPECT_EQ(driver.LastError(), 5);
}

TEST_F(Line, ASplitAndAnOverLongReplyAreCollected) {
  for (const char* fault : {"split", "long"}) {
    Start({"--fault", fault, "--set", "D7=4321"});
    HostBlock block(1, 0, 8, 7, 7, 0, {7});
    ASSERT_EQ(driver.ExecuteBlock(block), 1) << fault << "\n" << sim->Trace();
    EXPECT_EQ(block.items[0].GetU32(item::kValue), 4321u);
    driver.ClosePort();
  }
}

TEST_F(Line, StaleInputIsDiscardedBeforeTheRequest) {
  Start({"--set", "D1=77"});
  sim->InjectToDriver("\x06" "0109999" "00\r");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  HostBlock block(1, 0, 8, 1, 1, 0, {1});
  ASSERT_EQ(driver.ExecuteBlock(block), 1);
  EXPECT_EQ(block.items[0].GetU32(item::kValue), 77u);
}

TEST_F(Line, CommErrSendsNothing) {
  Start({});
  HostBlock skipped(1, 0, 8, 1, 1, 0, {1});
  skipped.SetName("CommErr");
  EXPECT_EQ(driver.ExecuteBlock(skipped), 1);
  ExpectUntouched(skipped);
  HostBlock real(1, 0, 8, 1, 1, 0, {1});
  ASSERT_EQ(driver.ExecuteBlock(real), 1);
  // qvsim writes its trace after it replied: the real request's line may
  // come a moment after the reply. Anything the skipped block had sent
  // would stand before it.
  ASSERT_TRUE(sim->WaitForTrace("<- ", 1, 5000));
  EXPECT_EQ(sim->RequestsSeen(), 1);
}

TEST_F(Line, ALentHandleServesAnotherStationAndIsClosedByTheBorrower) {
  Start({"--station", "1", "--station", "2", "--set", "D9=99"});
  const intptr_t handle = driver.GetPortHandle();
  {
    DriverHandle borrower;
    ASSERT_EQ(borrower.SetPortHandle(handle), 1);
    HostBlock block(2, 0, 8, 9, 9, 0, {9});
    ASSERT_EQ(borrower.ExecuteBlock(block), 1);
    EXPECT_EQ(block.items[0].GetU32(item::kValue), 99u);
  }
#if !defined(_WIN32)
  EXPECT_EQ(fcntl(static_cast<int>(handle), F_GETFD), -1) << "the borrower's release closed the line";
#endif
  driver.SetPortHandle(-1);
}

// The early reply wait, set as an integrator sets it, changes when a
// transaction ends and nothing of what it gives.
TEST(LineEarlyWait, ReadsWritesAndTimeOutsAsThePollDoes) {
  ScopedSetting early("ReplyWait", "QUORVALEND_REPLY_WAIT", "early");
  SimulatorProcess sim({"--set", "D100=0x1234", "--set", "M10=0x5A", "--baud", "19200"});
  ASSERT_TRUE(sim.Started());
  DriverHandle driver;
  PortSettingsRec settings = Settings(sim.DevicePath());
  ASSERT_EQ(driver.OpenPort(settings), 1);
  HostBlock write(1, 0, 8, 101, 101, 1, {101});
  write.items[0].Put16(item::kValue, 0x00FF);
  ASSERT_EQ(driver.ExecuteBlock(write), 1) << sim.Trace();
  HostBlock read(1, 0, 8, 100, 101, 0, {100, 101});
  ASSERT_EQ(driver.ExecuteBlock(read), 1) << sim.Trace();
  EXPECT_EQ(read.items[0].GetU32(item::kValue), 0x1234u);
  EXPECT_EQ(read.items[1].GetU32(item::kValue), 0x00FFu);
  HostBlock m(1, 1, 2, 10, 10, 0, {10});
  ASSERT_EQ(driver.ExecuteBlock(m), 1);
  EXPECT_EQ(m.items[0].bytes[item::kValue], 0x5A);

  EXPECT_EQ(driver.ClosePort(), 1);
  settings = Settings(sim.DevicePath(), 19200, kTimeoutMs);
  ASSERT_EQ(driver.OpenPort(settings), 1);
  HostBlock elsewhere(9, 0, 8, 100, 100, 0, {100});
  const auto start = Clock::now();
  EXPECT_EQ(driver.ExecuteBlock(elsewhere), 0);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(driver.LastError(), 5);
  EXPECT_GE(ms, kTimeoutMs);
  EXPECT_LT(ms, 2 * kTimeoutMs);
  driver.ClosePort();
}

#if !defined(_WIN32)
// A line whose far end is gone answers every wait at once with nothing;
// the driver must still sleep between looks, in either wait.
TEST(LineHangUp, AWaitOnADeadLineDoesNotSpin) {
  for (const char* mode : {"poll", "early"}) {
    ScopedSetting wait("ReplyWait", "QUORVALEND_REPLY_WAIT", mode);
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const std::string path = ttyname(slave);
    close(slave);
    DriverHandle driver;
    PortSettingsRec settings = Settings(path, 19200, kTimeoutMs);
    ASSERT_EQ(driver.OpenPort(settings), 1);
    std::thread hangUp([master] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      close(master);
    });
    rusage before{}, after{};
    getrusage(RUSAGE_THREAD, &before);
    HostBlock block(1, 0, 8, 100, 100, 0, {100});
    EXPECT_EQ(driver.ExecuteBlock(block), 0) << mode;
    getrusage(RUSAGE_THREAD, &after);
    hangUp.join();
    const double cpuMs = (after.ru_utime.tv_sec - before.ru_utime.tv_sec + after.ru_stime.tv_sec -
                          before.ru_stime.tv_sec) * 1000.0 +
                         (after.ru_utime.tv_usec - before.ru_utime.tv_usec + after.ru_stime.tv_usec -
                          before.ru_stime.tv_usec) / 1000.0;
    EXPECT_EQ(driver.LastError(), 5) << mode;
    EXPECT_LT(cpuMs, kTimeoutMs / 4.0) << mode << ": the wait spun";
    driver.ClosePort();
  }
}
#endif

TEST(LineOpen, AMissingPortIsErrorThreeAndTheBaudLimitsHold) {
  DriverHandle driver;
#if defined(_WIN32)
  PortSettingsRec missing = Settings("COM199");
#else
  PortSettingsRec missing = Settings("/dev/qv-no-such-port");
#endif
  EXPECT_EQ(driver.OpenPort(missing), 0);
  EXPECT_EQ(driver.LastError(), 3);

  SimulatorProcess sim({});
  ASSERT_TRUE(sim.Started());
  for (int baud : {300, 57600}) {
    PortSettingsRec ok = Settings(sim.DevicePath(), baud);
    EXPECT_EQ(driver.OpenPort(ok), 1) << baud;
    EXPECT_EQ(driver.ClosePort(), 1);
    EXPECT_EQ(driver.ClosePort(), 1) << "closing twice";
  }
  DriverHandle fresh;
  for (int baud : {299, 57601}) {
    PortSettingsRec refused = Settings(sim.DevicePath(), baud);
    EXPECT_EQ(fresh.OpenPort(refused), 0) << baud;
  }
  EXPECT_EQ(fresh.LastError(), -1);
}

}  // namespace
}  // namespace qvtest
