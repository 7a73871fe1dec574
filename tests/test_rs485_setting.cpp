// RS-485 direction switching as a driver setting: what is read, what the
// port is asked for when the line is opened, and what a refusal leaves
// behind (the configure code, the port closed, the port's answer traced).
#include <stdio.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "driver/driver_settings.h"
#include "tests/support/driver_handle.h"
#include "tests/support/fake_line.h"
#include "tests/support/scoped_setting.h"
#include "tests/support/temp_path.h"

namespace qvtest {
namespace {

using quorvalend::Rs485Mode;

TEST(Rs485Setting, ValuesAndWhatIsIgnored) {
  const struct {
    std::map<std::string, std::string> values;
    Rs485Mode mode;
    uint32_t beforeUs, afterUs;
    const char* ignored;
  } cases[] = {
      {{}, Rs485Mode::Off, 0, 0, ""},
      {{{"RS485", "off"}}, Rs485Mode::Off, 0, 0, ""},
      {{{"RS485", " RTS-On-Send "}}, Rs485Mode::RtsOnSend, 0, 0, ""},
      {{{"RS485", "rts-after-send"}, {"RS485DelayBeforeUs", "500"}, {"RS485DelayAfterUs", "100000"}},
       Rs485Mode::RtsAfterSend, 500, 100000, ""},
      {{{"RS485", "on"}}, Rs485Mode::Off, 0, 0, "RS485=on"},
      {{{"RS485", "rts"}, {"RS485DelayBeforeUs", "100001"}, {"RS485DelayAfterUs", "-1"}}, Rs485Mode::Off, 0, 0,
       "RS485=rts RS485DelayBeforeUs=100001 RS485DelayAfterUs=-1"},
      {{{"RS485", "rts-on-send"}, {"RS485DelayAfterUs", "1ms"}}, Rs485Mode::RtsOnSend, 0, 0,
       "RS485DelayAfterUs=1ms"},
      {{{"RS485DelayBeforeUs", "0"}, {"RS485DelayAfterUs", " 2500 "}}, Rs485Mode::Off, 0, 2500, ""},
  };
  for (const auto& c : cases) {
    FakeSettings source;
    source.values = c.values;
    const quorvalend::DriverSettings s = quorvalend::ReadDriverSettings(&source);
    EXPECT_EQ(s.rs485.mode, c.mode) << c.ignored;
    EXPECT_EQ(s.rs485.delayBeforeUs, c.beforeUs) << c.ignored;
    EXPECT_EQ(s.rs485.delayAfterUs, c.afterUs) << c.ignored;
    EXPECT_STREQ(s.ignored, c.ignored);
  }
}

// The environment's names take a word break after the digits too.
TEST(Rs485Setting, TheSystemsOwnPlace) {
  const struct {
    const char* name;
    const char* variable;
  } cases[] = {
      {"RS485", "QUORVALEND_RS485"},
      {"RS485DelayBeforeUs", "QUORVALEND_RS485_DELAY_BEFORE_US"},
      {"RS485DelayAfterUs", "QUORVALEND_RS485_DELAY_AFTER_US"},
  };
  for (const auto& c : cases) {
    char value[32] = {};
    {
      ScopedSetting setting(c.name, c.variable, "rts-on-send");
      ASSERT_TRUE(quorvalend::SystemSettings().Read(c.name, value, sizeof value)) << c.variable;
      EXPECT_STREQ(value, "rts-on-send");
    }
    EXPECT_FALSE(quorvalend::SystemSettings().Read(c.name, value, sizeof value)) << c.variable;
  }
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

// The driver asks the port only when the setting is on, passes it as read,
// and on a refusal closes the port and fails with the configure code.
TEST(Rs485Setting, WhatThePortIsAskedAndARefusal) {
  const struct {
    const char* name;
    std::map<std::string, std::string> values;
    int32_t refusal;  // the port's system error; 0 accepts
    bool asked;
    Rs485Mode mode;
    uint32_t beforeUs, afterUs;
    int32_t opened;
    int32_t lastError;  // -1: none
    const char* traceLine;  // the line after "created", as a pattern
  } cases[] = {
      {"not set", {}, 0, false, Rs485Mode::Off, 0, 0, 1, -1, "COM7 station - open COM7 .*: ok"},
      {"off, delays set", {{"RS485", "off"}, {"RS485DelayBeforeUs", "300"}}, 0, false, Rs485Mode::Off, 0, 0, 1, -1,
       "COM7 station - open COM7 .*: ok"},
      {"not understood", {{"RS485", "yes"}}, 0, false, Rs485Mode::Off, 0, 0, 1, -1, "COM7 station - open COM7 .*: ok"},
      {"rts-on-send", {{"RS485", "rts-on-send"}, {"RS485DelayBeforeUs", "1500"}}, 0, true, Rs485Mode::RtsOnSend,
       1500, 0, 1, -1, "COM7 station - open COM7 .*: ok"},
      {"rts-after-send", {{"RS485", "rts-after-send"}, {"RS485DelayAfterUs", "700"}}, 0, true,
       Rs485Mode::RtsAfterSend, 0, 700, 1, -1, "COM7 station - open COM7 .*: ok"},
      {"refused", {{"RS485", "rts-on-send"}}, 25, true, Rs485Mode::RtsOnSend, 0, 0, 0, 4,
       "COM7 station - open COM7 9600 baud, 8 data bits, parity none, 1 stop bits, time-out 500 ms: failed, code 4 "
       "\\(configuring the serial port failed\\), system error 25: the port refused RS485=rts-on-send "
       "RS485DelayBeforeUs=0 RS485DelayAfterUs=0, refused by the fake; an adapter that switches its transmitter by "
       "itself needs RS485 left off"},
  };
  const std::string path = UniqueTempPath("qv-rs485-");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    remove(path.c_str());
    FakeLine line;
    line.settings.values = c.values;
    line.settings.values["Trace"] = path;
    line.port.rs485Refusal = c.refusal;
    {
      DriverHandle driver;
      PortSettingsRec settings = MakePortSettings("COM7", 9600, 500);
      EXPECT_EQ(driver.OpenPort(settings), c.opened);
      EXPECT_EQ(driver.LastError(), c.lastError);
      ASSERT_EQ(line.port.rs485Asked.size(), c.asked ? 1u : 0u);
      if (c.asked) {
        EXPECT_EQ(line.port.rs485Asked[0].mode, c.mode);
        EXPECT_EQ(line.port.rs485Asked[0].delayBeforeUs, c.beforeUs);
        EXPECT_EQ(line.port.rs485Asked[0].delayAfterUs, c.afterUs);
      }
      if (c.opened == 0) {
        // Closed again, and not taken for the object's port.
        EXPECT_EQ(line.port.closed, line.port.rs485Handles);
        EXPECT_EQ(driver.GetPortHandle(), -1);
        EXPECT_EQ(line.port.prepared, 0);
      } else {
        EXPECT_TRUE(line.port.closed.empty());
        EXPECT_EQ(driver.GetPortHandle(), 100);
      }
    }
    const std::vector<std::string> lines = Lines(path);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(std::string(R"(^\S+ )") + c.traceLine))) << lines[1];
    if (c.asked && c.opened != 0) {
      ASSERT_GE(lines.size(), 3u);
      EXPECT_NE(lines[0].find("TraceMaxKB=10240 RS485=" + std::string(quorvalend::Rs485ModeName(c.mode))),
                std::string::npos)
          << lines[0];
      EXPECT_NE(lines[2].find("COM7 station - RS485="), std::string::npos) << lines[2];
      EXPECT_NE(lines[2].find(": applied by the fake"), std::string::npos) << lines[2];
    } else if (c.opened != 0) {
      EXPECT_EQ(lines[0].find("TraceMaxKB=10240 RS485"), std::string::npos) << lines[0];
    }
  }
  remove(path.c_str());
  remove((path + ".1").c_str());
}

}  // namespace
}  // namespace qvtest
