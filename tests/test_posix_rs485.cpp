// RS-485 direction switching on Linux, on a pseudo-terminal whose far end
// the test keeps open: the request the kernel is given (seen through the
// port's replaceable request), nothing asked with the setting off, and a
// refusal, made up and the pseudo-terminal's own.
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/posix/rs485.h"
#include "tests/support/driver_handle.h"
#include "tests/support/fake_line.h"
#include "tests/support/i386_emulation.h"
#include "tests/support/temp_path.h"

namespace qvtest {
namespace {

class PseudoTerminal {
 public:
  PseudoTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    if (const char* name = ptsname(master_)) device_ = name;
  }
  ~PseudoTerminal() {
    if (master_ >= 0) close(master_);
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;
  const std::string& Device() const { return device_; }

 private:
  int master_ = -1;
  std::string device_;
};

struct Asked {
  int fd;
  serial_rs485 setting;
};
std::vector<Asked> asked;
int answer = 0;  // the errno of a refusal; 0 accepts

int RecordingRequest(int fd, const serial_rs485* setting) {
  asked.push_back({fd, *setting});
  if (answer == 0) return 0;
  errno = answer;
  return -1;
}

std::string LastLine(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line, last;
  while (std::getline(in, line)) last = line;
  return last;
}

// The system's port and clock, the test's settings.
struct SystemLine {
  FakeSettings settings;
  quorvalend::ScopedDriverPlatform scope{
      quorvalend::DriverPlatform{&quorvalend::SystemSerialPort(), &quorvalend::SystemClock(), &settings}};
};

class Rs485 : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(terminal.Device().empty());
    trace = UniqueTempPath("qv-rs485-trace-");
    asked.clear();
    answer = 0;
  }
  void TearDown() override {
    remove(trace.c_str());
    remove((trace + ".1").c_str());
  }
  PortSettingsRec Settings() { return MakePortSettings(terminal.Device().c_str(), 9600, 200); }

  PseudoTerminal terminal;
  std::string trace;
};

TEST_F(Rs485, TheKernelIsAskedExactlyWhatWasSet) {
  const struct {
    const char* name;
    std::map<std::string, std::string> values;
    int answer;
    bool asked;
    uint32_t flags;
    uint32_t beforeMs, afterMs;
    int32_t opened;
    int32_t lastError;
    const char* traced;  // in the open's last line
  } cases[] = {
      {"not set", {}, 0, false, 0, 0, 0, 1, -1, ": ok"},
      {"off, with delays", {{"RS485", "off"}, {"RS485DelayBeforeUs", "900"}}, 0, false, 0, 0, 0, 1, -1, ": ok"},
      {"on send", {{"RS485", "rts-on-send"}}, 0, true, SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND, 0, 0, 1, -1,
       "RS485=rts-on-send RS485DelayBeforeUs=0 RS485DelayAfterUs=0: RTS raised while sending, 0 ms before and 0 ms"},
      {"on send, part of a millisecond rounded up",
       {{"RS485", "rts-on-send"}, {"RS485DelayBeforeUs", "1500"}, {"RS485DelayAfterUs", "1"}}, 0, true,
       SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND, 2, 1, 1, -1, "2 ms before and 1 ms after it"},
      {"after send, the longest delays",
       {{"RS485", "rts-after-send"}, {"RS485DelayBeforeUs", "100000"}, {"RS485DelayAfterUs", "2000"}}, 0, true,
       SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND, 100, 2, 1, -1, "RTS dropped while sending, 100 ms before"},
      {"not a tty", {{"RS485", "rts-on-send"}}, ENOTTY, true, SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND, 0, 0, 0,
       4, "code 4 (configuring the serial port failed), system error 25: the port refused RS485=rts-on-send "
          "RS485DelayBeforeUs=0 RS485DelayAfterUs=0, the kernel answered Inappropriate ioctl for device (errno 25); "
          "an adapter that switches its transmitter by itself needs RS485 left off"},
      {"invalid", {{"RS485", "rts-after-send"}}, EINVAL, true, SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND, 0, 0,
       0, 4, "the kernel answered Invalid argument (errno 22)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    asked.clear();
    answer = c.answer;
    remove(trace.c_str());
    SystemLine line;
    line.settings.values = c.values;
    line.settings.values["Trace"] = trace;
    quorvalend::ScopedRs485Request seam(RecordingRequest);
    {
      DriverHandle driver;
      PortSettingsRec settings = Settings();
      EXPECT_EQ(driver.OpenPort(settings), c.opened);
      EXPECT_EQ(driver.LastError(), c.lastError);
      ASSERT_EQ(asked.size(), c.asked ? 1u : 0u);
      if (c.asked) {
        EXPECT_EQ(asked[0].setting.flags, c.flags);
        EXPECT_EQ(asked[0].setting.delay_rts_before_send, c.beforeMs);
        EXPECT_EQ(asked[0].setting.delay_rts_after_send, c.afterMs);
      }
      EXPECT_NE(LastLine(trace).find(c.traced), std::string::npos) << LastLine(trace);
      if (c.opened == 1) {
        EXPECT_EQ(driver.ClosePort(), 1);
        continue;
      }
      // The refused descriptor is closed, and with it its lock: the port
      // opens again with the setting left off.
      const int flags = fcntl(asked[0].fd, F_GETFD);
      const int error = errno;
      EXPECT_EQ(flags, -1);
      EXPECT_EQ(error, EBADF);
    }
    line.settings.values["RS485"] = "off";
    DriverHandle again;
    PortSettingsRec settings = Settings();
    EXPECT_EQ(again.OpenPort(settings), 1);
    EXPECT_EQ(again.ClosePort(), 1);
  }
}

// A pseudo-terminal has no RS-485 mode and says so: the open fails with
// the configure code, and the trace gives the kernel's answer.
TEST_F(Rs485, APseudoTerminalRefuses) {
  SystemLine line;
  line.settings.values = {{"RS485", "rts-on-send"}, {"Trace", trace}};
  DriverHandle driver;
  PortSettingsRec settings = Settings();
  EXPECT_EQ(driver.OpenPort(settings), 0);
  EXPECT_EQ(driver.LastError(), 4);
  EXPECT_EQ(driver.GetPortHandle(), -1);
  const std::string last = LastLine(trace);
  EXPECT_NE(last.find("failed, code 4 (configuring the serial port failed)"), std::string::npos) << last;
  const size_t at = last.find("(errno ");
  ASSERT_NE(at, std::string::npos) << last;
  const int error = atoi(last.c_str() + at + 7);
  if (EmulatorLacks(-1, error)) {
    printf("the i386 emulator does not pass TIOCSRS485 to the kernel (ENOSYS): the kernel's own answer is not "
           "checked\n");
  } else {
    EXPECT_EQ(error, ENOTTY) << last;
  }
}

}  // namespace
}  // namespace qvtest
