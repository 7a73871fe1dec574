// The gateway's service parts without a line: the refusal summary over a
// fake clock, the write and log lines as an operator reads them, what a
// reload may keep, and the readiness datagrams on real sockets.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tools/qvgateway/modbus/modbus_dispatch.h"
#include "tools/qvgateway/service/gateway_log.h"
#include "tools/qvgateway/service/refusal_log.h"
#include "tools/qvgateway/service/reload_check.h"
#include "tools/qvgateway/service/systemd_notify.h"
#include "tools/qvgateway/service/write_log.h"

namespace qvgateway {
namespace {

TEST(GatewayRefusalLog, FirstWholeThenOneLinePerWindow) {
  struct Event {
    int64_t atMs;
    const char* address;  // nullptr: a tick; "": the listener closes
  };
  struct Case {
    const char* name;
    std::vector<Event> events;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"one refusal", {{0, "10.0.0.1"}, {10000, nullptr}, {20000, nullptr}}, {"first 10.0.0.1"}},
      {"a flood from one address",
       {{0, "10.0.0.1"}, {1, "10.0.0.1"}, {2, "10.0.0.1"}, {9999, nullptr}, {10000, nullptr}, {20000, nullptr}},
       {"first 10.0.0.1", "2 more connections refused from 10.0.0.1 in the last 10 s"}},
      {"one more",
       {{0, "10.0.0.1"}, {5, "10.0.0.2"}, {10000, nullptr}},
       {"first 10.0.0.1", "1 more connection refused from 10.0.0.2 in the last 10 s"}},
      {"many addresses",
       {{0, "a"}, {1, "b"}, {2, "c"}, {3, "d"}, {4, "e"}, {5, "b"}, {10000, nullptr}},
       {"first a", "5 more connections refused from b, c, d and 1 more addresses in the last 10 s"}},
      {"a flood in two windows, then quiet, then a refusal logged whole again",
       {{0, "x"}, {1, "x"}, {10000, nullptr}, {10001, "x"}, {20001, nullptr}, {30001, nullptr}, {40000, "y"}},
       {"first x", "1 more connection refused from x in the last 10 s",
        "1 more connection refused from x in the last 10 s", "first y"}},
      {"the listener closes with refusals counted, and again with none",
       {{0, "x"}, {1, "x"}, {2, ""}, {3, ""}, {4, "y"}},
       {"first x", "1 more connection refused from x before the listener closed", "first y"}},
      {"a refusal after a window passed without a tick",
       {{0, "x"}, {1, "x"}, {15000, "y"}, {25000, nullptr}},
       {"first x", "1 more connection refused from x in the last 10 s",
        "1 more connection refused from y in the last 10 s"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> lines;
    RefusalLog log([&lines](const std::string& line) { lines.push_back(line); });
    for (const Event& e : c.events) {
      if (e.address == nullptr) {
        log.Tick(e.atMs);
      } else if (e.address[0] == '\0') {
        log.Flush();
      } else {
        log.Refused(e.address, std::string("first ") + e.address, e.atMs);
      }
    }
    EXPECT_EQ(lines, c.lines) << c.name;
  }
}

TEST(GatewayWriteLog, OneLineSaysWhoWhereWhatAndHow) {
  const std::string modbus = "modbus 127.0.0.1:40312 unit 1";
  struct Case {
    std::string line, expected;
  };
  const Case cases[] = {
      {RegisterWriteLine(modbus, 1, 100, {5, 6}, WriteResult(LineDone())),
       "write from modbus 127.0.0.1:40312 unit 1: station 1 D100..D101 = 5, 6: done"},
      {RegisterWriteLine("mqtt q/ttyS0/3/D7/set id \"abc\"", 3, 7, {65535}, WriteResult(LineDone())),
       "write from mqtt q/ttyS0/3/D7/set id \"abc\": station 3 D7 = 65535: done"},
      {CoilWriteLine(modbus, 2, 10, {true, false, true}, WriteResult(LineFailed(LineReason::PortLost))),
       "write from modbus 127.0.0.1:40312 unit 1: station 2 M10..M12 = 1, 0, 1: not sent: port lost"},
      {TagWriteLine("mqtt q/tank1/level/set id 7", 1, "tank1/level", "42.5", WriteResult(LineDone())),
       "write from mqtt q/tank1/level/set id 7: station 1 tag tank1/level = 42.5: done"},
      {WriteResult(LineFailed(LineReason::QueueFull)), "not sent: the line's queue is full"},
      {WriteResult(LineFailed(LineReason::Demoted, 5)), "not sent: station demoted: receive time-out"},
      {WriteResult(LineFailed(LineReason::ClientGone)),
       "result unknown: the client went away while the write waited (dropped unless already on the line)"},
      {WriteResult(LineFailed(LineReason::Silent, 5)), "failed: receive time-out (driver code 5)"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.line, c.expected);
  // A write that reached the controller names the driver's code.
  const std::string failed = WriteResult(LineFailed(LineReason::Refused, 6));
  EXPECT_EQ(failed.rfind("failed: ", 0), 0u) << failed;
  EXPECT_NE(failed.find("(driver code 6)"), std::string::npos) << failed;
}

TEST(GatewayLog, SeverityForTheJournalTimeElsewhere) {
  struct Case {
    Severity severity;
    bool journal;
    std::string expected;
  };
  const int64_t at = 1765359740123;  // 2025-12-10T09:42:20.123Z
  const Case cases[] = {
      {Severity::Error, true, "<3>the line is lost"},   {Severity::Warning, true, "<4>the line is lost"},
      {Severity::Notice, true, "<5>the line is lost"},  {Severity::Info, true, "<6>the line is lost"},
      {Severity::Debug, true, "<7>the line is lost"},
  };
  for (const Case& c : cases) EXPECT_EQ(LogLine(c.severity, "the line is lost", c.journal, at), c.expected);
  const std::string timed = LogLine(Severity::Error, "the line is lost", false, at);
  EXPECT_EQ(timed.find('<'), std::string::npos) << timed;
  EXPECT_NE(timed.find(":20.123"), std::string::npos) << timed;
  EXPECT_EQ(timed.substr(timed.size() - 28), " qvgateway: the line is lost") << timed;
}

TEST(GatewayLog, WhatAClientSentStaysOnItsOwnLine) {
  // A tag name or topic from the network, quoted in an event.
  const struct {
    std::string text, journal;
  } cases[] = {
      {"no tag 'a\n<0>forged' on device s1", "<4>no tag 'a\\x0a<0>forged' on device s1"},
      {std::string("cr\r tab\t nul") + '\0' + " del\x7f", "<4>cr\\x0d tab\\x09 nul\\x00 del\\x7f"},
      {"UTF-8 °C stays", "<4>UTF-8 °C stays"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LogLine(Severity::Warning, c.text, true, 0), c.journal);
    EXPECT_EQ(LogLine(Severity::Warning, c.text, false, 0).find_first_of("\r\n"), std::string::npos);
  }
}

TEST(GatewayReload, KeepsTheLineOnlyWhenLineAndStationsAreAlike) {
  GatewayConfig running;
  running.line.port = "/dev/ttyS0";
  running.stations.resize(2);
  running.stations[0].number = 1;
  running.stations[1].number = 2;
  struct Case {
    const char* name;
    void (*change)(GatewayConfig&);
    bool kept;
  };
  const Case cases[] = {
      {"nothing changed", [](GatewayConfig&) {}, true},
      {"a Modbus port", [](GatewayConfig& c) { c.modbus.port = 1503; }, true},
      {"a read range and a poll", [](GatewayConfig& c) {
         c.stations[0].read.push_back({"D0..D9", 3});
         c.stations[1].pollMs = 500;
       }, true},
      {"a unit", [](GatewayConfig& c) { c.stations[1].unit = 9; }, true},
      {"the port", [](GatewayConfig& c) { c.line.port = "/dev/ttyS1"; }, false},
      {"the baud", [](GatewayConfig& c) { c.line.baud = 19200; }, false},
      {"the parity", [](GatewayConfig& c) { c.line.parity = 2; }, false},
      {"the time-out", [](GatewayConfig& c) { c.line.timeoutMs = 500; }, false},
      {"the reply wait", [](GatewayConfig& c) { c.line.replyWait = "early"; }, false},
      {"the station check", [](GatewayConfig& c) { c.line.checkStation = 0; }, false},
      {"the queue", [](GatewayConfig& c) { c.line.queueSize = 8; }, false},
      {"the simulator's memory", [](GatewayConfig& c) { c.line.simSet.push_back("D1=2"); }, false},
      {"a station more", [](GatewayConfig& c) { c.stations.push_back(c.stations[0]); c.stations[2].number = 3; },
       false},
      {"a station renumbered", [](GatewayConfig& c) { c.stations[1].number = 4; }, false},
      {"stations swapped", [](GatewayConfig& c) { std::swap(c.stations[0], c.stations[1]); }, false},
  };
  for (const Case& c : cases) {
    GatewayConfig next = running;
    c.change(next);
    EXPECT_EQ(KeepsLine(running, next), c.kept) << c.name;
  }
}

// A datagram socket as systemd binds it; `abstract` leaves it out of the
// file system.
class NotifySocket {
 public:
  explicit NotifySocket(bool abstract) {
    char folder[] = "/tmp/qvgw-notify-XXXXXX";
    folder_ = mkdtemp(folder);
    name_ = abstract ? "@qvgw-notify-" + std::to_string(getpid()) : folder_ + "/notify";
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, name_.data(), name_.size());
    if (abstract) address.sun_path[0] = '\0';
    const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size());
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), size) == 0;
  }
  ~NotifySocket() {
    close(fd_);
    if (name_[0] == '/') unlink(name_.c_str());
    rmdir(folder_.c_str());
  }
  const std::string& name() const { return name_; }
  bool bound() const { return bound_; }
  // What was sent, already queued: the sender returned before this reads.
  std::string Take() {
    char buffer[512];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    return n < 0 ? std::string("(nothing)") : std::string(buffer, static_cast<size_t>(n));
  }

 private:
  std::string folder_, name_;
  int fd_ = -1;
  bool bound_ = false;
};

TEST(GatewayNotify, DatagramsReachPathAndAbstractSockets) {
  for (bool abstract : {false, true}) {
    NotifySocket socket(abstract);
    ASSERT_TRUE(socket.bound()) << socket.name();
    setenv("NOTIFY_SOCKET", socket.name().c_str(), 1);
    const std::string messages[] = {ReadyMessage("serving"), ReloadingMessage(1234567), StoppingMessage()};
    for (const std::string& m : messages) {
      EXPECT_TRUE(NotifySystemd(m)) << socket.name();
      EXPECT_EQ(socket.Take(), m) << socket.name();
    }
  }
  EXPECT_EQ(ReloadingMessage(1234567).rfind("RELOADING=1\nMONOTONIC_USEC=1234567\n", 0), 0u);
  EXPECT_EQ(ReadyMessage("serving"), "READY=1\nSTATUS=serving");
  // Nothing sent, and no failure, where systemd did not ask.
  for (const char* name : {"", "relative/name", "/nonexistent/qvgw/notify"}) {
    setenv("NOTIFY_SOCKET", name, 1);
    EXPECT_FALSE(NotifySystemd("READY=1")) << name;
  }
  unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(NotifySystemd("READY=1"));
}

}  // namespace
}  // namespace qvgateway
