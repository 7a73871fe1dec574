// The serial line on a POSIX terminal device: raw mode, reads that return at
// once with what has arrived, FIONREAD for the waiting count.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "platform/posix/rs485.h"
#include "platform/posix/serial_speed.h"
#include "platform/serial_port.h"

namespace quorvalend {
namespace {

constexpr char kDevicePrefix[] = "//./";
constexpr int kWriteMsPerByte = 10;

// "//./ttyUSB0" names /dev/ttyUSB0; "//.//tmp/pty" names /tmp/pty.
std::string DeviceFile(const char* devicePath) {
  const char* name = devicePath;
  if (strncmp(name, kDevicePrefix, sizeof kDevicePrefix - 1) == 0) name += sizeof kDevicePrefix - 1;
  if (name[0] == '/') return name;
  return std::string("/dev/") + name;
}

bool BaudConstant(int32_t baud, speed_t* out) {
  static const struct {
    int32_t baud;
    speed_t constant;
  } kRates[] = {{300, B300},     {600, B600},     {1200, B1200},   {1800, B1800},   {2400, B2400},
                {4800, B4800},   {9600, B9600},   {19200, B19200}, {38400, B38400}, {57600, B57600}};
  for (const auto& rate : kRates) {
    if (rate.baud == baud) {
      *out = rate.constant;
      return true;
    }
  }
  return false;
}

bool DataBitsFlag(uint8_t bits, tcflag_t* out) {
  switch (bits) {
    case 5: *out = CS5; return true;
    case 6: *out = CS6; return true;
    case 7: *out = CS7; return true;
    case 8: *out = CS8; return true;
    default: return false;
  }
}

class PosixSerialPort final : public SerialPort {
 public:
  PortHandle Open(const char* devicePath) override {
    const std::string file = DeviceFile(devicePath);
    const int fd = open(file.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return kNoPortHandle;
    // Exclusive, like a Windows port opened without sharing: the lock
    // stops programs that take it, TIOCEXCL every other open of the
    // device too (a privileged one excepted).
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || (ioctl(fd, TIOCEXCL, nullptr) != 0 && errno != ENOTTY)) {
      close(fd);
      return kNoPortHandle;
    }
    return fd;
  }

  bool ApplyLineSettings(PortHandle handle, const LineSettings& settings) override {
    termios tio{};
    if (tcgetattr(static_cast<int>(handle), &tio) != 0) return false;
    speed_t speed = B0;
    tcflag_t size;
    const bool standardRate = BaudConstant(settings.baudRate, &speed);
    if (!DataBitsFlag(settings.dataBits, &size)) return false;
    // Flow control stays as another program left it, as on Windows; raw
    // mode alone would switch XON/XOFF output control off.
    const tcflag_t softwareFlow = tio.c_iflag & IXON;
    cfmakeraw(&tio);
    tio.c_iflag |= softwareFlow;
    if (standardRate) {
      // The input speed follows the output one; a rate set as a number
      // before would otherwise stay on the input side.
      tio.c_cflag &= ~CIBAUD;
      cfsetispeed(&tio, speed);
      cfsetospeed(&tio, speed);
    }
    tio.c_cflag = (tio.c_cflag & ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB)) | size | CREAD | CLOCAL;
    switch (settings.parity) {
      case 0: break;
      case 1: tio.c_cflag |= PARENB | PARODD; break;
      case 2: tio.c_cflag |= PARENB; break;
      case 3: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
      case 4: tio.c_cflag |= PARENB | CMSPAR; break;
      default: return false;
    }
    if (settings.twoStopBits) tio.c_cflag |= CSTOPB;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(static_cast<int>(handle), TCSANOW, &tio) != 0) return false;
    // Any other rate is set as a number; a line that cannot run it refuses.
    return standardRate || SetArbitraryBaudRate(static_cast<int>(handle), settings.baudRate);
  }

  void PrepareForPolling(PortHandle handle) override { Purge(handle); }

  bool ApplyRs485(PortHandle handle, const Rs485Setting& setting, Rs485Report* report) override {
    return ApplyRs485Setting(static_cast<int>(handle), setting, report);
  }

  bool Close(PortHandle handle) override {
    // A pseudo-terminal keeps the exclusive flag past our last close while
    // its other side stays open, and would refuse our own next open.
    ioctl(static_cast<int>(handle), TIOCNXCL, nullptr);
    return close(static_cast<int>(handle)) == 0;
  }

  void Purge(PortHandle handle) override { tcflush(static_cast<int>(handle), TCIOFLUSH); }

  bool Write(PortHandle handle, const uint8_t* data, int32_t length, int32_t* written,
             int32_t* platformError) override {
    // Synchronous, with the same allowance per byte as the Windows side.
    const int fd = static_cast<int>(handle);
    int32_t done = 0;
    int budgetMs = kWriteMsPerByte * length;
    while (done < length) {
      const ssize_t n = write(fd, data + done, static_cast<size_t>(length - done));
      if (n > 0) {
        done += static_cast<int32_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        *platformError = errno;
        return false;
      }
      if (budgetMs <= 0) break;
      pollfd waitFor{fd, POLLOUT, 0};
      poll(&waitFor, 1, 10);
      budgetMs -= 10;
    }
    *written = done;
    return true;
  }

  int32_t BytesWaiting(PortHandle handle) override {
    int waiting = 0;
    if (ioctl(static_cast<int>(handle), FIONREAD, &waiting) != 0) return 0;
    return waiting;
  }

  int32_t Read(PortHandle handle, uint8_t* buffer, int32_t capacity) override {
    const ssize_t n = read(static_cast<int>(handle), buffer, static_cast<size_t>(capacity));
    if (n < 0) return errno == EAGAIN ? 0 : -1;
    return static_cast<int32_t>(n);
  }

  int32_t ReadWithin(PortHandle handle, uint8_t* buffer, int32_t capacity, uint32_t ms) override {
    const int fd = static_cast<int>(handle);
    const uint64_t deadline = NowMs() + ms;
    for (;;) {
      const uint64_t now = NowMs();
      if (now >= deadline) return 0;
      pollfd waitFor{fd, POLLIN, 0};
      const int ready = poll(&waitFor, 1, static_cast<int>(deadline - now));
      if (ready < 0 && errno == EINTR) continue;  // the rest of the slice, recomputed
      if (ready == 0) return 0;
      if (ready > 0 && (waitFor.revents & POLLIN) != 0) {
        const int32_t got = Read(handle, buffer, capacity);
        if (got != 0) {
          if (got < 0) SleepUntil(deadline);
          return got;
        }
      }
      // A hang-up or an error without data answers every poll at once:
      // sleep out the slice instead of spinning.
      SleepUntil(deadline);
      return 0;
    }
  }

  int32_t LastSystemError() override { return errno; }

 private:
  static uint64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  }
  static void SleepUntil(uint64_t deadlineMs) {
    const uint64_t now = NowMs();
    if (now >= deadlineMs) return;
    const uint64_t ms = deadlineMs - now;
    timespec wait{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
  }
};

// At namespace scope: a function-local object would need a first-call
// guard, and with it the threading runtime.
PosixSerialPort systemSerialPort;

}  // namespace

SerialPort& SystemSerialPort() { return systemSerialPort; }

}  // namespace quorvalend
