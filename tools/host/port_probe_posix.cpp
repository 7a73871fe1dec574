#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <vector>

#include "tools/host/port_probe.h"

namespace qvhost {
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

// "/a/./b" as "/a/b", since the driver takes only 31 characters; ".."
// stays, as it means what the links on the way say.
std::string Normal(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    const std::string part = path.substr(start, slash - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    start = slash + 1;
  }
  std::string normal;
  for (const std::string& part : parts) normal += "/" + part;
  return normal.empty() ? "/" : normal;
}

// The driver's port name field holds 31 characters and its end.
constexpr size_t kLongestName = 31;

}  // namespace

bool DriverPortName(const std::string& typed, std::string* name, std::string* note, std::string* error) {
  std::string path = typed;
  if (!path.empty() && path[0] != '/' && path.find('/') != std::string::npos) {
    // The driver reads a name without a leading / as one in /dev.
    char here[PATH_MAX];
    if (getcwd(here, sizeof here) == nullptr) {
      *error = "--port " + typed + ": the current folder is unknown (" + strerror(errno) + "); give an absolute path";
      return false;
    }
    path = Normal(std::string(here) + "/" + path);
    *note = "--port " + typed + " is " + path;
  }
  if (path.size() > kLongestName) {
    char real[PATH_MAX];
    if (realpath(DeviceFile(path).c_str(), real) == nullptr) {
      *error = "--port " + typed + ": " + strerror(errno) + " (" + DeviceFile(path) + ")";
      return false;
    }
    if (strlen(real) > kLongestName) {
      *error = "--port " + typed + ": the driver takes names of up to 31 characters, and the device it leads to (" +
               real + ") is longer too";
      return false;
    }
    *note = "--port " + typed + " leads to " + real + ", which is given to the driver (it takes names of up to 31 "
            "characters)";
    path = real;
  }
  *name = path;
  return true;
}

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

}  // namespace qvhost
