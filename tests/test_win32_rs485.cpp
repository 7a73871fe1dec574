// RS-485 direction switching on Windows: the serial driver raises RTS while
// it sends (RTS_CONTROL_TOGGLE), read back from the port's DCB; with the
// setting off the port's RTS control stays as it was; the inverted mode,
// which Windows cannot do, is refused with the configure code. On COM40,
// which the fixture maps to a pseudo-terminal under Wine.
#include <windows.h>

#include <stdio.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "tests/support/driver_handle.h"
#include "tests/support/fake_line.h"
#include "tests/support/temp_path.h"

namespace qvtest {
namespace {

constexpr char kPort[] = "COM40";
constexpr char kDevice[] = "\\\\.\\COM40";

bool ReadDcb(HANDLE port, DCB* dcb) {
  *dcb = DCB{};
  dcb->DCBlength = sizeof *dcb;
  return GetCommState(port, dcb) != 0;
}

// The port's own RTS control, outside any driver object.
struct PortState {
  PortState() {
    HANDLE port = CreateFileA(kDevice, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    opened = port != INVALID_HANDLE_VALUE;
    if (opened) {
      read = ReadDcb(port, &dcb);
      CloseHandle(port);
    }
  }
  bool opened = false;
  bool read = false;
  DCB dcb{};
};

// Puts the port's first state back, for the line tests that share it.
void Restore(const DCB& dcb) {
  HANDLE port = CreateFileA(kDevice, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) return;
  DCB again = dcb;
  SetCommState(port, &again);
  CloseHandle(port);
}

// Wine's serial driver answers RTS_CONTROL_TOGGLE with ERROR_NOT_SUPPORTED
// whatever the port: there the DCB cannot be read back, and the refusal is
// checked instead, as the one a port of its own would give.
bool RunsUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string Text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Rs485OnWindows, TheDcbSaysWhatWasSet) {
  const PortState first;
  ASSERT_TRUE(first.opened && first.read) << "COM40 cannot be opened: is the port fixture up?";
  const std::string trace = UniqueTempPath("qv-rs485-trace-");
  const struct {
    const char* name;
    std::map<std::string, std::string> values;
    int32_t opened;
    int32_t lastError;
    DWORD rtsControl;  // read back while the driver holds the port
    const char* traced;
  } cases[] = {
      {"not set", {}, 1, -1, first.dcb.fRtsControl, ": ok"},
      {"off", {{"RS485", "off"}}, 1, -1, first.dcb.fRtsControl, ": ok"},
      {"on send", {{"RS485", "rts-on-send"}}, 1, -1, RTS_CONTROL_TOGGLE,
       "RS485=rts-on-send RS485DelayBeforeUs=0 RS485DelayAfterUs=0: RTS raised while sending by the serial driver"},
      {"on send, delays", {{"RS485", "rts-on-send"}, {"RS485DelayBeforeUs", "500"}}, 1, -1, RTS_CONTROL_TOGGLE,
       "which has no delays: RS485DelayBeforeUs and RS485DelayAfterUs are not applied"},
      {"after send", {{"RS485", "rts-after-send"}}, 0, 4, 0,
       "failed, code 4 (configuring the serial port failed), system error 50: the port refused "
       "RS485=rts-after-send RS485DelayBeforeUs=0 RS485DelayAfterUs=0, Windows can only raise RTS while sending"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Restore(first.dcb);
    remove(trace.c_str());
    FakeSettings settings;
    settings.values = c.values;
    settings.values["Trace"] = trace;
    quorvalend::ScopedDriverPlatform scope{
        quorvalend::DriverPlatform{&quorvalend::SystemSerialPort(), &quorvalend::SystemClock(), &settings}};
    bool toggleRefused = false;
    {
      DriverHandle driver;
      PortSettingsRec port = MakePortSettings(kPort, 9600, 200);
      const int32_t opened = driver.OpenPort(port);
      toggleRefused = c.rtsControl == RTS_CONTROL_TOGGLE && opened == 0 && RunsUnderWine() &&
                      Text(trace).find("system error 50: the port refused") != std::string::npos;
      if (toggleRefused) {
        printf("%s: Wine does not take RTS_CONTROL_TOGGLE (error 50): the refusal is checked, not the DCB\n",
               c.name);
        EXPECT_EQ(driver.LastError(), 4);
        EXPECT_EQ(driver.GetPortHandle(), -1);
      } else if (c.opened == 1) {
        EXPECT_EQ(opened, 1);
        EXPECT_EQ(driver.LastError(), c.lastError);
        DCB dcb{};
        ASSERT_TRUE(ReadDcb(reinterpret_cast<HANDLE>(driver.GetPortHandle()), &dcb));
        EXPECT_EQ(dcb.fRtsControl, c.rtsControl);
        EXPECT_EQ(driver.ClosePort(), 1);
      } else {
        EXPECT_EQ(opened, 0);
        EXPECT_EQ(driver.LastError(), c.lastError);
        EXPECT_EQ(driver.GetPortHandle(), -1);
      }
    }
    // Held by nobody afterwards: the port opens exclusively again.
    EXPECT_TRUE(PortState().opened);
    const std::string text = Text(trace);
    if (!toggleRefused) {
      EXPECT_NE(text.find(c.traced), std::string::npos) << text;
    }
    const bool asked = c.values.count("RS485") != 0 && c.values.at("RS485") != "off";
    EXPECT_EQ(text.find("RS485=") != std::string::npos, asked) << text;
  }
  Restore(first.dcb);
  remove(trace.c_str());
  remove((trace + ".1").c_str());
}

}  // namespace
}  // namespace qvtest
