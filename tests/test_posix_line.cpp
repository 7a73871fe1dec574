// The Linux port as a plant has it: held exclusively against programs that
// take no lock, run at every rate the host may ask for, including those
// termios has no constant for, with the flow control another program left.
// On a pseudo-terminal, whose far end the test keeps open.
//
// No <termios.h> here: the kernel's termios2 comes from <asm/termbits.h>.
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ostream>
#include <string>

#include "tests/support/driver_handle.h"

namespace qvtest {
namespace {

constexpr int kTimeoutMs = 200;
constexpr uid_t kNobody = 65534;

class PseudoTerminal {
 public:
  PseudoTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    if (const char* name = ptsname(master_)) device_ = name;
    // Any user may try the device, so that a refusal is the driver's doing.
    chmod(device_.c_str(), 0666);
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

enum class OpenOutcome { Opened, Busy, OtherError };

std::ostream& operator<<(std::ostream& out, OpenOutcome outcome) {
  const char* const kNames[] = {"opened", "refused as busy", "failed otherwise"};
  return out << kNames[static_cast<int>(outcome)];
}

// Opens `device` from another process that takes no lock, as an
// unprivileged user: root passes TIOCEXCL, so a root test drops to nobody.
OpenOutcome OpenFromAnotherProgram(const std::string& device) {
  const pid_t child = fork();
  if (child < 0) return OpenOutcome::OtherError;
  if (child == 0) {
    if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(3);
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) _exit(0);
    _exit(errno == EBUSY ? 1 : 2);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return OpenOutcome::OtherError;
  switch (WEXITSTATUS(status)) {
    case 0: return OpenOutcome::Opened;
    case 1: return OpenOutcome::Busy;
    default: return OpenOutcome::OtherError;
  }
}

int ExclusiveFlag(intptr_t fd) {
  int exclusive = -1;
  return ioctl(static_cast<int>(fd), TIOCGEXCL, &exclusive) == 0 ? exclusive : -1;
}

TEST(PosixLine, TheOpenPortRefusesProgramsThatTakeNoLock) {
  PseudoTerminal pty;
  ASSERT_FALSE(pty.Device().empty());
  ASSERT_EQ(OpenFromAnotherProgram(pty.Device()), OpenOutcome::Opened) << "before the driver opens it";

  DriverHandle driver;
  PortSettingsRec settings = MakePortSettings(pty.Device().c_str(), 9600, kTimeoutMs);
  ASSERT_EQ(driver.OpenPort(settings), 1) << pty.Device();
  EXPECT_EQ(ExclusiveFlag(driver.GetPortHandle()), 1);
  EXPECT_EQ(OpenFromAnotherProgram(pty.Device()), OpenOutcome::Busy);

  ASSERT_EQ(driver.ClosePort(), 1);
  EXPECT_EQ(OpenFromAnotherProgram(pty.Device()), OpenOutcome::Opened) << "after ClosePort";
  ASSERT_EQ(driver.OpenPort(settings), 1) << "the driver opens it again";
  EXPECT_EQ(OpenFromAnotherProgram(pty.Device()), OpenOutcome::Busy);
  EXPECT_EQ(driver.ClosePort(), 1);
}

TEST(PosixLine, EveryRateFrom300To57600RunsAndReadsBack) {
  // The host's list and rates between them; 7200, 14400, 28800 and 56000
  // have no termios constant. After each custom rate a standard one, so
  // that nothing of the number stays behind.
  const int32_t kRates[] = {300,   600,   1200,  1800,  2400,  4800,  7200,  9600,  14400, 19200,
                            28800, 38400, 56000, 57600, 12345, 9600,  14400, 1200,  56000, 300};
  PseudoTerminal pty;
  ASSERT_FALSE(pty.Device().empty());
  DriverHandle driver;
  for (int32_t rate : kRates) {
    PortSettingsRec settings = MakePortSettings(pty.Device().c_str(), rate, kTimeoutMs);
    ASSERT_EQ(driver.OpenPort(settings), 1) << rate << " baud refused";
    termios2 line{};
    ASSERT_EQ(ioctl(static_cast<int>(driver.GetPortHandle()), TCGETS2, &line), 0) << strerror(errno);
    EXPECT_EQ(line.c_ospeed, static_cast<speed_t>(rate)) << "output speed";
    EXPECT_EQ(line.c_ispeed, static_cast<speed_t>(rate)) << "input speed";
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8)) << rate;
    ASSERT_EQ(driver.ClosePort(), 1);
  }
}

TEST(PosixLine, FlowControlAnotherProgramLeftIsKept) {
  const struct {
    const char* what;
    tcflag_t input;
    tcflag_t control;
  } kCases[] = {
      {"none", 0, 0},
      {"XON/XOFF both ways", IXON | IXOFF, 0},
      {"XON/XOFF, any byte restarts", IXON | IXANY, 0},
      {"RTS/CTS", 0, CRTSCTS},
      {"all of them", IXON | IXOFF | IXANY, CRTSCTS},
  };
  constexpr tcflag_t kInputFlow = IXON | IXOFF | IXANY;
  PseudoTerminal pty;
  ASSERT_FALSE(pty.Device().empty());
  for (const auto& c : kCases) {
    // The other program's settings, made on a descriptor of its own.
    const int other = open(pty.Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0) << strerror(errno);
    termios2 line{};
    ASSERT_EQ(ioctl(other, TCGETS2, &line), 0);
    line.c_iflag = (line.c_iflag & ~kInputFlow) | c.input;
    line.c_cflag = (line.c_cflag & ~CRTSCTS) | c.control;
    ASSERT_EQ(ioctl(other, TCSETS2, &line), 0);

    DriverHandle driver;
    PortSettingsRec settings = MakePortSettings(pty.Device().c_str(), 19200, kTimeoutMs);
    ASSERT_EQ(driver.OpenPort(settings), 1) << c.what;
    termios2 applied{};
    ASSERT_EQ(ioctl(static_cast<int>(driver.GetPortHandle()), TCGETS2, &applied), 0);
    EXPECT_EQ(applied.c_iflag & kInputFlow, c.input) << c.what;
    EXPECT_EQ(applied.c_cflag & CRTSCTS, c.control) << c.what;
    EXPECT_EQ(applied.c_ospeed, 19200u) << c.what;
    EXPECT_EQ(driver.ClosePort(), 1);
    close(other);
  }
}

}  // namespace
}  // namespace qvtest
