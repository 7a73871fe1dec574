// How a host reads its objects' trace: each transaction's outcome and
// reason from the driver's own lines, the settings it did not take, and
// lines across the driver's renaming of a full file.
#include <gtest/gtest.h>
#include <stdio.h>

#include <fstream>
#include <string>
#include <vector>

#include "tools/host/trace_tap.h"

namespace {

using qvhost::TraceOutcome;

constexpr char kHead[] = "2026-12-09T09:31:45.314+00:00 /dev/ttyUSB0 station 1 read D100 ";
constexpr char kRequest[] = "-> 05 30 31 30 52 44 30 31 30 30 30 32 32 31 0D | <ENQ>010RD01000221<CR>\n";

std::vector<std::string> Transaction(const std::string& outcome, bool sent = true) {
  std::vector<std::string> lines;
  if (sent) lines.push_back(kHead + std::string(kRequest));
  lines.push_back(kHead + outcome + "\n");
  return lines;
}

TEST(HostTrace, EachOutcomeAndItsReason) {
  const struct {
    std::string outcome;
    bool sent, ok, refused;
    int systemError;
    const char* reason;
  } cases[] = {
      {"<- 06 30 31 30 30 30 30 30 33 37 0D | <ACK>010000037<CR>  ok, 10.1 ms", true, true, false, 0, ""},
      {"<- 15 30 31 0D | <NAK>01<CR>  failed, code 6 (erroneous data received): the controller refused (NAK), 0.1 ms",
       true, false, true, 0, "the controller refused (NAK)"},
      {"<- 06 30 31 32 33 35 0D | <ACK>01235<CR>  failed, code 6 (erroneous data received): the controller refused "
       "(status 2), 10.1 ms", true, false, true, 0, "the controller refused (status 2)"},
      {"<- 7F 23 67 0D | <7F>#g<CR>  failed, code 5 (receive time-out): no complete reply (shown: what arrived), "
       "303.2 ms", true, false, false, 0, "no complete reply; arrived: <7F>#g<CR>"},
      {"<- nothing  failed, code 5 (receive time-out), 303.2 ms", true, false, false, 0, "no reply"},
      {"<- 06 30 32 0D | <ACK>02<CR>  failed, code 6 (erroneous data received): the reply's station digits are not "
       "the request's, 0.2 ms", true, false, false, 0, "the reply's station digits are not the request's"},
      {" failed, code 5 (receive time-out), port write failed, system error 5, 0.0 ms", true, false, false, 5,
       "line lost: port write failed, system error 5; the request did not leave"},
      {" failed: nothing to send (a write block without an item, or an unknown area), 0.0 ms", false, false, false,
       0, "nothing to send (a write block without an item, or an unknown area)"},
  };
  for (const auto& c : cases) {
    // The driver puts two spaces before "ok" or "failed"; the head ends with one.
    const std::string& outcome = c.outcome;
    const TraceOutcome traced = qvhost::LastOutcome(Transaction(outcome, c.sent));
    EXPECT_TRUE(traced.found) << c.outcome;
    EXPECT_EQ(traced.ok, c.ok) << c.outcome;
    EXPECT_EQ(traced.sent, c.sent) << c.outcome;
    EXPECT_EQ(traced.systemError, c.systemError) << c.outcome;
    EXPECT_EQ(traced.why.compare(0, 22, "the controller refused") == 0, c.refused) << c.outcome;
    EXPECT_EQ(qvhost::Reason(traced), c.reason) << c.outcome;
  }
}

TEST(HostTrace, OnlyTheLastTransactionCountsAndOtherLinesAreNoOutcome) {
  std::vector<std::string> lines = Transaction("<- nothing  failed, code 5 (receive time-out), 303.2 ms");
  for (const auto& line : Transaction("<- 06 0D | <ACK><CR>  ok, 1.0 ms")) lines.push_back(line);
  EXPECT_TRUE(qvhost::LastOutcome(lines).ok);
  const std::vector<std::string> noise = {
      "2026-12-09T09:31:45.314+00:00 /dev/pts/1 station - open /dev/pts/1 9600 baud, ...: ok\n",
      "2026-12-09T09:31:45.314+00:00 /dev/pts/1 station - close handle 3: ok\n",
      "2026-12-09T09:31:45.314+00:00 - station - created: Trace=x ReplyWait=poll CheckStation=0 TraceMaxKB=10\n",
      "", "  failed", " ms", "<- 0D  ok, 1 ms"};
  EXPECT_FALSE(qvhost::LastOutcome(noise).found);
  // Cut or garbled outcome lines give what they hold, and never more.
  const struct {
    std::string line;
    int systemError;
    const char* why;
  } odd[] = {
      {"x station 1 read D1  failed ms", 0, ""},
      {"x station 1 read D1  failed, code 5 (x ms", 0, ""},
      {"x station 1 read D1  failed, port write failed, system error , 1 ms", 0, ""},
      {"x station 1 read D1  failed: , 1 ms", 0, ""},
      {"x station 12 read D1  failed, code 6 (y): a: b, c, 1 ms", 0, "a: b, c"},
  };
  for (const auto& c : odd) {
    const TraceOutcome traced = qvhost::LastOutcome({c.line});
    EXPECT_TRUE(traced.found && !traced.ok) << c.line;
    EXPECT_EQ(traced.systemError, c.systemError) << c.line;
    EXPECT_EQ(traced.why, c.why) << c.line;
  }
}

TEST(HostTrace, SettingsTheDriverDidNotTake) {
  const std::string head = "2026-12-09T09:42:20.630+00:00 - station - created: Trace= ReplyWait=poll CheckStation=0 "
                           "TraceMaxKB=10240";
  const struct {
    std::string ignored;
    std::vector<std::string> settings;
  } cases[] = {
      {"", {}},
      {"; ignored, not understood: CheckStation=maybe", {"CheckStation=maybe"}},
      {"; ignored, not understood: ReplyWait=fast CheckStation=yes please TraceMaxKB=0",
       {"ReplyWait=fast", "CheckStation=yes please", "TraceMaxKB=0"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(qvhost::IgnoredSettings({head + c.ignored + "\n"}), c.settings) << c.ignored;
  }
  EXPECT_TRUE(qvhost::IgnoredSettings({"ignored, not understood: X=1\n"}).empty()) << "only an object's first line";
}

TEST(HostTrace, LinesAcrossTheDriversRenaming) {
  const std::string path = ::testing::TempDir() + "qvhost-tap.txt";
  remove(path.c_str());
  remove((path + ".1").c_str());
  qvhost::TraceTap tap;
  tap.Start(path);
  EXPECT_TRUE(tap.Take().empty()) << "no file yet";
  std::ofstream(path, std::ios::app | std::ios::binary) << "one\ntw";
  EXPECT_EQ(tap.Take(), (std::vector<std::string>{"one\n"})) << "whole lines only";
  std::ofstream(path, std::ios::app | std::ios::binary) << "o\nthree\n";
  // The driver renames the full file and starts a new, shorter one.
  rename(path.c_str(), (path + ".1").c_str());
  std::ofstream(path, std::ios::binary) << "4\n";
  EXPECT_EQ(tap.Take(), (std::vector<std::string>{"two\n", "three\n", "4\n"}));
  std::ofstream(path, std::ios::app | std::ios::binary) << "five\n";
  EXPECT_EQ(tap.Take(), (std::vector<std::string>{"five\n"}));
  remove(path.c_str());
  remove((path + ".1").c_str());
}

}  // namespace
