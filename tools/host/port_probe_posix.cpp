#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "tools/host/port_probe.h"

namespace qvpoll {
namespace {

// The driver's reading of a port name: a bare name lives in /dev.
std::string DeviceFile(const std::string& port) { return port[0] == '/' ? port : "/dev/" + port; }

std::string Kind(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a pipe";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a character device";
}

}  // namespace

std::string ProbePort(const LineRequest& line) {
  if (line.port.empty()) return "no such device";
  const std::string file = DeviceFile(line.port);
  struct stat status {};
  if (stat(file.c_str(), &status) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? "no such device (" + file + ")" : file + ": " + strerror(errno);
  }
  if (!S_ISCHR(status.st_mode)) return "not a serial device (" + file + " is " + Kind(status.st_mode) + ")";
  const int fd = open(file.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == EBUSY) return "in use by another program (it holds the port exclusively)";
    if (errno == EACCES || errno == EPERM) return "permission denied (on most systems the user must be in group dialout)";
    return file + ": " + strerror(errno);
  }
  std::string reason;
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    reason = "not a serial device (" + file + " has no line settings)";
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    reason = "in use by another program (it holds the port's lock)";
  } else if (cfsetspeed(&tio, static_cast<speed_t>(line.baud)) != 0) {
    // The rate is checked on a copy: the port keeps its settings.
    reason = "line settings refused: " + std::to_string(line.baud) + " baud is not a rate this system's serial "
             "driver offers (300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600 are)";
  }
  close(fd);
  return reason;
}

}  // namespace qvpoll
