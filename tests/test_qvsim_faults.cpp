// qvsim's faults as a client on the line sees them: raw bytes, their
// timing, and which requests get them; stations switched off and on by
// signals, and registers that count at reads or on a clock.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/simulator_process.h"

namespace qvtest {
namespace {

using Clock = std::chrono::steady_clock;

double UnixSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

long MsSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A read request for one D register, as any host would send it.
std::string ReadRequest(int station, int address) {
  char body[16];
  snprintf(body, sizeof body, "\x05%02X0RD%04d02", station, address);
  unsigned check = 0;
  for (const char* c = body; *c != '\0'; ++c) check ^= static_cast<unsigned char>(*c);
  char frame[24];
  snprintf(frame, sizeof frame, "%s%02X\r", body, check);
  return frame;
}

// The client's end of the line, opened by path like a serial device.
class RawClient {
 public:
  explicit RawClient(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    termios tio{};
    if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(fd_, TCSANOW, &tio);
    }
  }
  ~RawClient() {
    if (fd_ >= 0) close(fd_);
  }
  bool Open() const { return fd_ >= 0; }
  bool Send(const std::string& bytes) { return write(fd_, bytes.data(), bytes.size()) == ssize_t(bytes.size()); }

  // What arrives within `ms`, stopping early after `crs` CRs and a quiet
  // 50 ms; `hungUp` tells whether the far end went away.
  std::string Receive(int ms, int crs, bool* hungUp = nullptr) {
    std::string got;
    const auto start = Clock::now();
    while (MsSince(start) < ms) {
      pollfd p{fd_, POLLIN, 0};
      poll(&p, 1, 10);
      if (p.revents & POLLHUP) {
        if (hungUp != nullptr) *hungUp = true;
        break;
      }
      char buffer[512];
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
      int seen = 0;
      for (char c : got) seen += c == '\r';
      if (seen >= crs && n <= 0) {
        pollfd quiet{fd_, POLLIN, 0};
        if (poll(&quiet, 1, 50) == 0) break;
      }
    }
    return got;
  }

 private:
  int fd_;
};

// The good reply to ReadRequest(station, address) for a register of 0.
std::string GoodReply(int station) {
  char body[16];
  snprintf(body, sizeof body, "\x06%02X00000", station);
  unsigned check = 0;
  for (const char* c = body; *c != '\0'; ++c) check ^= static_cast<unsigned char>(*c);
  char frame[24];
  snprintf(frame, sizeof frame, "%s%02X\r", body, check);
  return frame;
}

TEST(QvsimFault, TrailingPutsALineFeedAfterTheCrInTheSameWrite) {
  SimulatorProcess sim({"--fault", "trailing"}, SimulatorProcess::kOwnPty);
  ASSERT_TRUE(sim.Started()) << sim.Trace();
  RawClient client(sim.DevicePath());
  ASSERT_TRUE(client.Open());
  ASSERT_TRUE(client.Send(ReadRequest(1, 100)));
  EXPECT_EQ(client.Receive(1000, 1), GoodReply(1) + "\n");
}

// A late reply comes MS after its request whatever the client does
// meanwhile, and a request sent in the meantime is answered after it.
TEST(QvsimFault, LateRepliesAfterItsTimeAndHoldsBackTheNextRequest) {
  SimulatorProcess sim({"--station", "1", "--station", "2", "--fault", "late:400", "--fault-at", "1"},
                       SimulatorProcess::kOwnPty);
  ASSERT_TRUE(sim.Started()) << sim.Trace();
  RawClient client(sim.DevicePath());
  ASSERT_TRUE(client.Open());
  const auto start = Clock::now();
  ASSERT_TRUE(client.Send(ReadRequest(1, 100)));
  EXPECT_EQ(client.Receive(250, 1), "") << "nothing before its time";
  ASSERT_TRUE(client.Send(ReadRequest(2, 100)));
  const std::string both = client.Receive(1500, 2);
  const long ms = MsSince(start);
  EXPECT_EQ(both, GoodReply(1) + GoodReply(2)) << "the late reply first, then the next request's";
  EXPECT_GE(ms, 400);
  EXPECT_LT(ms, 1400);
  EXPECT_NE(sim.Trace().find("[fault late:400]"), std::string::npos) << sim.Trace();
}

// The client sees a hang-up and the device name goes, as when an adapter
// is pulled out; after MS the name is back on a fresh line that answers.
TEST(QvsimFault, DropHangsUpTheLineAndBringsItBackUnderItsName) {
  SimulatorProcess sim({"--fault", "drop:600", "--fault-at", "2"}, SimulatorProcess::kOwnPty);
  ASSERT_TRUE(sim.Started()) << sim.Trace();
  {
    RawClient client(sim.DevicePath());
    ASSERT_TRUE(client.Open());
    ASSERT_TRUE(client.Send(ReadRequest(1, 100)));
    ASSERT_EQ(client.Receive(1000, 1), GoodReply(1));
    const auto start = Clock::now();
    ASSERT_TRUE(client.Send(ReadRequest(1, 100)));
    bool hungUp = false;
    EXPECT_EQ(client.Receive(1000, 1, &hungUp), "");
    EXPECT_TRUE(hungUp) << "the client's side must see the line go";
    EXPECT_LT(MsSince(start), 500);
    struct stat status {};
    EXPECT_NE(lstat(sim.DevicePath().c_str(), &status), 0) << "the device name is gone while unplugged";
    EXPECT_FALSE(client.Send(ReadRequest(1, 100))) << "a write to a line that is gone fails";
  }
  ASSERT_TRUE(sim.WaitForTrace("qvsim: line back", 1, 3000)) << sim.Trace();
  RawClient again(sim.DevicePath());
  ASSERT_TRUE(again.Open());
  ASSERT_TRUE(again.Send(ReadRequest(1, 100)));
  EXPECT_EQ(again.Receive(1000, 1), GoodReply(1));
}

// Which requests get the fault: --fault-at numbers, --fault-every a
// period, --fault-station one station's requests only; nak shows it.
TEST(QvsimFault, DeterministicSelectionFaultsExactlyTheChosenRequests) {
  struct Case {
    std::vector<std::string> args;
    std::vector<int> stations;  // one request to each, in turn
    std::string expected;       // per request: n (NAK) or g (good)
  } const cases[] = {
      {{"--fault-at", "3,7,8"}, {1, 1, 1, 1, 1, 1, 1, 1, 1}, "ggngggnng"},
      {{"--fault-every", "3"}, {1, 1, 1, 1, 1, 1, 1}, "ggnggng"},
      {{"--fault-every", "1", "--fault-station", "2"}, {1, 2, 1, 2, 2}, "gngnn"},
      {{"--fault-rate", "1", "--fault-station", "1"}, {1, 2, 1}, "ngn"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"--station", "1", "--station", "2", "--fault", "nak"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SimulatorProcess sim(args, SimulatorProcess::kOwnPty);
    ASSERT_TRUE(sim.Started()) << sim.Trace();
    RawClient client(sim.DevicePath());
    ASSERT_TRUE(client.Open());
    std::string outcomes;
    for (int station : c.stations) {
      ASSERT_TRUE(client.Send(ReadRequest(station, 5)));
      const std::string reply = client.Receive(1000, 1);
      outcomes += reply == GoodReply(station) ? 'g' : reply.size() == 4 && reply[0] == '\x15' ? 'n' : '?';
    }
    EXPECT_EQ(outcomes, c.expected) << c.args[0] << " " << c.args[1];
  }
}


// The value a good one-register read reply carries, or -1.
long ReplyValue(const std::string& reply) {
  if (reply.size() != 11 || reply[0] != '\x06') return -1;
  return strtol(reply.substr(4, 4).c_str(), nullptr, 16);  // ACK, station, 0, data
}

// SIGUSR1 switches the stations --silence-station names off: they answer
// nothing, the others go on; SIGUSR2 switches them on, and the next request
// is answered.
TEST(QvsimAtRunTime, SignalsSwitchTheNamedStationOffAndOn) {
  SimulatorProcess sim({"--station", "1", "--station", "2", "--silence-station", "2"}, SimulatorProcess::kOwnPty);
  ASSERT_TRUE(sim.Started()) << sim.Trace();
  RawClient client(sim.DevicePath());
  ASSERT_TRUE(client.Open());
  struct Step {
    int signal;            // sent before the step's requests; 0: none
    const char* expected;  // station 1 then 2: g (good reply) or - (none)
  } const steps[] = {{0, "gg"}, {SIGUSR1, "g-"}, {SIGUSR1, "g-"}, {SIGUSR2, "gg"}, {SIGUSR1, "g-"}};
  for (const Step& step : steps) {
    if (step.signal != 0) {
      sim.Signal(step.signal);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::string outcomes;
    for (int station : {1, 2}) {
      ASSERT_TRUE(client.Send(ReadRequest(station, 5)));
      const std::string reply = client.Receive(station == 2 && step.expected[1] == '-' ? 300 : 1000, 1);
      outcomes += reply == GoodReply(station) ? 'g' : reply.empty() ? '-' : '?';
    }
    EXPECT_EQ(outcomes, step.expected) << "after signal " << step.signal;
  }
  EXPECT_NE(sim.Trace().find("silenced: no reply"), std::string::npos) << sim.Trace();
}

// --counting registers answer one more at every read of them, from their
// preset; a register beside them keeps its value.
TEST(QvsimAtRunTime, CountingRegistersCountUpAtEachRead) {
  SimulatorProcess sim({"--set", "D100=41", "--set", "D102=7", "--counting", "D100..D101"}, SimulatorProcess::kOwnPty);
  ASSERT_TRUE(sim.Started()) << sim.Trace();
  RawClient client(sim.DevicePath());
  ASSERT_TRUE(client.Open());
  const std::pair<int, long> reads[] = {{100, 42}, {100, 43}, {101, 1}, {102, 7}, {100, 44}, {101, 2}, {102, 7}};
  for (const auto& read : reads) {
    ASSERT_TRUE(client.Send(ReadRequest(1, read.first)));
    EXPECT_EQ(ReplyValue(client.Receive(1000, 1)), read.second) << "D" << read.first;
  }
}

// With --tick-ms the counting registers count up on a clock that starts
// with qvsim, not at reads: between two reads they moved by the ticks that
// fell between the moments the reads were answered, which lie between each
// request sent and its reply received. The clock's start is printed in
// Unix time, within the moments the test started qvsim and saw it serve.
TEST(QvsimAtRunTime, TickMsCountsOnAClockNotAtReads) {
  struct Case {
    const char* what;
    int tickMs, pauseMs;
  };
  const Case cases[] = {
      {"an hour's tick: reads alone change nothing", 3600000, 0},
      {"a 50 ms tick, reads back to back", 50, 0},
      {"a 100 ms tick, reads 600 ms apart", 100, 600},
  };
  for (const Case& c : cases) {
    const double before = UnixSeconds();
    SimulatorProcess sim({"--set", "D100=41", "--counting", "D100", "--tick-ms", std::to_string(c.tickMs)},
                         SimulatorProcess::kOwnPty);
    ASSERT_TRUE(sim.Started()) << sim.Trace();
    const double after = UnixSeconds();
    // Said just after "serving": on a loaded machine it may not be written yet.
    const std::string mark = "counting up every " + std::to_string(c.tickMs) + " ms from ";
    ASSERT_TRUE(sim.WaitForTrace(mark, 1, 5000)) << sim.Trace();
    const std::string trace = sim.Trace();
    const double start = atof(trace.c_str() + trace.find(mark) + mark.size());
    EXPECT_GE(start, before - 0.001) << c.what;
    EXPECT_LE(start, after + 0.001) << c.what;

    RawClient client(sim.DevicePath());
    ASSERT_TRUE(client.Open());
    const auto origin = Clock::now();
    auto ms = [&] { return std::chrono::duration<double, std::milli>(Clock::now() - origin).count(); };
    double sent[2], received[2];
    long value[2];
    for (int i = 0; i < 2; ++i) {
      if (i == 1) std::this_thread::sleep_for(std::chrono::milliseconds(c.pauseMs));
      sent[i] = ms();
      ASSERT_TRUE(client.Send(ReadRequest(1, 100)));
      value[i] = ReplyValue(client.Receive(1000, 1));
      received[i] = ms();
      ASSERT_GE(value[i], 41) << c.what;
    }
    const long least = static_cast<long>(std::floor((sent[1] - received[0]) / c.tickMs));
    const long most = static_cast<long>(std::ceil((received[1] - sent[0]) / c.tickMs));
    EXPECT_GE(value[1] - value[0], least) << c.what;
    EXPECT_LE(value[1] - value[0], most) << c.what;
    if (c.tickMs == 3600000) {
      EXPECT_EQ(value[0], 41) << "no tick yet, and the read did not count";
    }
  }
}

}  // namespace
}  // namespace qvtest
