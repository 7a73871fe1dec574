// The driver's own settings and its trace: what is read, from where, and
// the lines a trace holds for each kind of event.
#include <stdio.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "driver/driver_settings.h"
#include "platform/trace_sink.h"
#include "tests/support/driver_handle.h"
#include "tests/support/fake_line.h"
#include "tests/support/scoped_setting.h"
#include "tests/support/temp_path.h"

namespace qvtest {
namespace {

using quorvalend::ReplyWait;

std::string TempPath(const char* stem) {
  const std::string path = UniqueTempPath(stem);
  remove(path.c_str());
  remove((path + ".1").c_str());
  return path;
}

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// Local time with its offset, then the port and the station.
const std::regex kLineHead(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d \S+ station (\d+|-) .*)");

TEST(DriverSettings, ValuesAndWhatIsIgnored) {
  struct {
    std::map<std::string, std::string> values;
    const char* trace;
    ReplyWait wait;
    bool checkStation;
    uint32_t maxKB;
    const char* ignored;
  } cases[] = {
      {{}, "", ReplyWait::Poll, false, 10240, ""},
      {{{"ReplyWait", " Early "}, {"CheckStation", "1"}}, "", ReplyWait::Early, true, 10240, ""},
      {{{"ReplyWait", "poll"}, {"CheckStation", "0"}, {"TraceMaxKB", "64"}}, "", ReplyWait::Poll, false, 64, ""},
      {{{"Trace", " /var/log/qv.log "}}, "/var/log/qv.log", ReplyWait::Poll, false, 10240, ""},
      {{{"ReplyWait", "fast"}, {"CheckStation", "maybe"}, {"TraceMaxKB", "0"}},
       "", ReplyWait::Poll, false, 10240, "ReplyWait=fast CheckStation=maybe TraceMaxKB=0"},
      {{{"TraceMaxKB", "12x"}}, "", ReplyWait::Poll, false, 10240, "TraceMaxKB=12x"},
      {{{"TraceMaxKB", "99999999999"}}, "", ReplyWait::Poll, false, 10240, "TraceMaxKB=99999999999"},
  };
  for (const auto& c : cases) {
    FakeSettings source;
    source.values = c.values;
    const quorvalend::DriverSettings s = quorvalend::ReadDriverSettings(&source);
    EXPECT_STREQ(s.trace, c.trace);
    EXPECT_EQ(s.replyWait, c.wait) << c.ignored;
    EXPECT_EQ(s.checkStation, c.checkStation) << c.ignored;
    EXPECT_EQ(s.traceMaxKB, c.maxKB) << c.ignored;
    EXPECT_STREQ(s.ignored, c.ignored);
  }
  const quorvalend::DriverSettings none = quorvalend::ReadDriverSettings(nullptr);
  EXPECT_EQ(none.replyWait, ReplyWait::Poll);
  EXPECT_FALSE(none.checkStation);
  EXPECT_STREQ(none.trace, "");
}

// An on/off setting takes the words people type for it, in any case and
// with blanks around; anything else keeps the default and is named.
TEST(DriverSettings, OnOffWords) {
  const struct {
    const char* text;
    bool checkStation;
    bool taken;
  } cases[] = {
      {"1", true, true},      {"0", false, true},      {"yes", true, true},   {"no", false, true},
      {"true", true, true},   {"false", false, true},  {"on", true, true},    {"off", false, true},
      {"YES", true, true},    {"True", true, true},    {" On ", true, true},  {"OFF", false, true},
      {"No", false, true},    {"FALSE", false, true},  {"2", false, false},   {"y", false, false},
      {"enable", false, false}, {"10", false, false},  {"1 1", false, false}, {"yess", false, false},
      {"", false, false},
  };
  for (const auto& c : cases) {
    FakeSettings source;
    source.values["CheckStation"] = c.text;
    const quorvalend::DriverSettings s = quorvalend::ReadDriverSettings(&source);
    EXPECT_EQ(s.checkStation, c.checkStation) << "'" << c.text << "'";
    const std::string trimmed = std::regex_replace(std::string(c.text), std::regex("^ +| +$"), "");
    EXPECT_STREQ(s.ignored, c.taken ? "" : ("CheckStation=" + trimmed).c_str()) << "'" << c.text << "'";
  }
}

// The environment on Linux, the current user's registry key on Windows.
TEST(DriverSettings, TheSystemsOwnPlace) {
  char value[64] = {};
  quorvalend::SettingsSource& system = quorvalend::SystemSettings();
  EXPECT_FALSE(system.Read("TraceMaxKB", value, sizeof value));
  {
    ScopedSetting wait("ReplyWait", "QUORVALEND_REPLY_WAIT", "early");
    ScopedSetting limit("TraceMaxKB", "QUORVALEND_TRACE_MAX_KB", "77");
    ASSERT_TRUE(system.Read("ReplyWait", value, sizeof value));
    EXPECT_STREQ(value, "early");
    ASSERT_TRUE(system.Read("TraceMaxKB", value, sizeof value));
    EXPECT_STREQ(value, "77");
  }
  EXPECT_FALSE(system.Read("ReplyWait", value, sizeof value));
}

#ifdef _WIN32
// The machine's value holds unless the user has one of their own.
TEST(DriverSettings, TheUsersValueOverridesTheMachines) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvalend", 0, nullptr, 0,
                            KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const char machine[] = "poll";
  RegSetValueExA(key, "ReplyWait", 0, REG_SZ, reinterpret_cast<const BYTE*>(machine), sizeof machine);
  const DWORD one = 1;
  RegSetValueExA(key, "CheckStation", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
  char value[64] = {};
  quorvalend::SettingsSource& system = quorvalend::SystemSettings();
  EXPECT_TRUE(system.Read("ReplyWait", value, sizeof value));
  EXPECT_STREQ(value, "poll");
  EXPECT_TRUE(system.Read("CheckStation", value, sizeof value));
  EXPECT_STREQ(value, "1");
  {
    ScopedSetting user("ReplyWait", "QUORVALEND_REPLY_WAIT", "early");
    EXPECT_TRUE(system.Read("ReplyWait", value, sizeof value));
    EXPECT_STREQ(value, "early");
  }
  RegDeleteValueA(key, "ReplyWait");
  RegDeleteValueA(key, "CheckStation");
  RegCloseKey(key);
}
#endif

class Trace : public ::testing::Test {
 protected:
  void SetUp() override {
    path = TempPath("qv-trace-");
    line.settings.values["Trace"] = path;
    line.settings.values["ReplyWait"] = "sometimes";
  }
  void TearDown() override {
    remove(path.c_str());
    remove((path + ".1").c_str());
  }
  std::string path;
  FakeLine line;
};

TEST_F(Trace, EachEventHasItsLine) {
  {
    DriverHandle driver;
    PortSettingsRec settings = MakePortSettings("COM7", 9600, 500);
    line.port.openSucceeds = false;
    line.port.systemError = 2;
    EXPECT_EQ(driver.OpenPort(settings), 0);
    line.port.openSucceeds = true;
    ASSERT_EQ(driver.OpenPort(settings), 1);

    HostBlock read(1, 0, 8, 100, 101, 0, {100, 101});
    line.port.replies.push_back("\x06" "010" "00011234" "7F\r");
    EXPECT_EQ(driver.ExecuteBlock(read), 1);
    HostBlock write(1, 0, 8, 100, 100, 1, {100});
    line.port.replies.push_back("\x06\r");
    EXPECT_EQ(driver.ExecuteBlock(write), 1);
    line.port.replies.push_back("\x15" "01\r");
    EXPECT_EQ(driver.ExecuteBlock(read), 0);
    line.port.replies.push_back("\x06" "01");  // never completed
    EXPECT_EQ(driver.ExecuteBlock(read), 0);
    line.port.writeError = 1117;
    EXPECT_EQ(driver.ExecuteBlock(write), 0);
    line.port.writeError = 0;
    EXPECT_EQ(driver.ClosePort(), 1);
  }
  const std::vector<std::string> lines = Lines(path);
  const char* expected[] = {
      "- station - created: Trace=.* ReplyWait=poll CheckStation=0 TraceMaxKB=10240; ignored, not understood: "
      "ReplyWait=sometimes",
      "COM7 station - open COM7 9600 baud, 8 data bits, parity none, 1 stop bits, time-out 500 ms: failed, code 3 "
      "\\(opening the serial port failed\\), system error 2",
      "COM7 station - open COM7 9600 baud, .*: ok",
      "COM7 station 1 read D100..D101 -> 05 30 31 30 52 44 30 31 30 30 30 34 .* \\| <ENQ>010RD010004..<CR>",
      "COM7 station 1 read D100..D101 <- 06 30 31 30 30 30 30 31 31 32 33 34 37 46 0D \\| "
      "<ACK>010000112347F<CR>  ok, \\d+\\.\\d ms",
      "COM7 station 1 write D100 -> .*<ENQ>010WD0100.*<CR>",
      "COM7 station 1 write D100 <- 06 0D \\| <ACK><CR>  ok, .* ms",
      "COM7 station 1 read D100..D101 -> .*",
      "COM7 station 1 read D100..D101 <- 15 30 31 0D \\| <NAK>01<CR>  failed, code 6 \\(erroneous data received\\): "
      "the controller refused \\(NAK\\), .* ms",
      "COM7 station 1 read D100..D101 -> .*",
      "COM7 station 1 read D100..D101 <- 06 30 31 \\| <ACK>01  failed, code 5 \\(receive time-out\\): no complete "
      "reply \\(shown: what arrived\\), .* ms",
      "COM7 station 1 write D100 -> .*",
      "COM7 station 1 write D100  failed, port write failed, system error 1117, .* ms",
      "COM7 station - close handle 100: ok",
  };
  ASSERT_EQ(lines.size(), sizeof expected / sizeof expected[0]) << (lines.empty() ? "" : lines.back());
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(std::regex_match(lines[i], kLineHead)) << lines[i];
    const std::regex body(std::string(R"(^\S+ )") + expected[i]);
    EXPECT_TRUE(std::regex_match(lines[i], body)) << "line " << i << ": " << lines[i];
  }
}

TEST_F(Trace, ABorrowerNamesTheHandleAndTheTraceNeverFailsATransaction) {
  line.settings.values["Trace"] = ::testing::TempDir() + "no-such-folder/trace.txt";
  DriverHandle driver;
  EXPECT_EQ(driver.SetPortHandle(55), 1);
  HostBlock read(2, 0, 8, 0, 0, 0, {0});
  line.port.replies.push_back("\x06" "020" "0007" "7F\r");
  EXPECT_EQ(driver.ExecuteBlock(read), 1);
  EXPECT_EQ(read.items[0].GetU32(item::kValue), 7u);

  line.settings.values["Trace"] = path;
  DriverHandle traced;
  traced.SetPortHandle(55);
  line.port.replies.push_back("\x06" "020" "0007" "7F\r");
  EXPECT_EQ(traced.ExecuteBlock(read), 1);
  const std::vector<std::string> lines = Lines(path);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[1].find("handle 55 station - lend handle 55: ok"), std::string::npos) << lines[1];
  EXPECT_NE(lines[3].find("handle 55 station 2 read D0 <- "), std::string::npos) << lines[3];
}

// Two writers on one file, as two objects or two processes have: every
// line arrives whole.
TEST_F(Trace, LinesFromTwoWritersNeverInterleave) {
  constexpr int kLines = 400;
  auto writer = [&](char mark) {
    quorvalend::TraceSink* sink = quorvalend::OpenTraceSink(path.c_str(), 1u << 30);
    ASSERT_NE(sink, nullptr);
    const std::string text = "COM1 station 1 " + std::string(300, mark) + " end";
    for (int i = 0; i < kLines; ++i) sink->WriteLine(quorvalend::SystemClock().FileTimeNow(), text.c_str(), text.size());
    delete sink;
  };
  std::thread a(writer, 'a'), b(writer, 'b');
  a.join();
  b.join();
  const std::vector<std::string> lines = Lines(path);
  ASSERT_EQ(lines.size(), 2u * kLines);
  const std::regex whole(R"(^\S+ COM1 station 1 (a{300}|b{300}) end$)");
  for (const std::string& l : lines) ASSERT_TRUE(std::regex_match(l, whole)) << l;
}

TEST_F(Trace, PastItsLimitTheFileMovesToDotOne) {
  line.settings.values["TraceMaxKB"] = "1";
  {
    DriverHandle driver;
    driver.SetPortHandle(9);
    HostBlock read(1, 0, 8, 100, 100, 0, {100});
    for (int i = 0; i < 12; ++i) {
      line.port.replies.push_back("\x06" "010" "0001" "7F\r");
      ASSERT_EQ(driver.ExecuteBlock(read), 1);
    }
  }
  std::ifstream current(path, std::ios::binary | std::ios::ate), old(path + ".1", std::ios::binary | std::ios::ate);
  ASSERT_TRUE(old.good()) << "no .1 file";
  EXPECT_LE(static_cast<long>(current.tellg()), 1024L);
  EXPECT_LE(static_cast<long>(old.tellg()), 1024L);
  EXPECT_GT(static_cast<long>(old.tellg()), 512L);
}

#ifndef _WIN32
// A trace path in a shared folder cannot be turned against the host: a
// link there is not followed, and a file the trace makes is its owner's.
TEST_F(Trace, NeverThroughALinkAndCreatedOwnerOnly) {
  const std::string target = TempPath("qv-target-");
  { std::ofstream(target) << "someone else's file\n"; }
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  EXPECT_EQ(quorvalend::OpenTraceSink(path.c_str(), 1024), nullptr);
  EXPECT_EQ(Lines(target).size(), 1u);
  remove(path.c_str());
  remove(target.c_str());

  delete quorvalend::OpenTraceSink(path.c_str(), 1024);
  struct stat status {};
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
}
#endif

}  // namespace
}  // namespace qvtest
