#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "tools/qvsim/sim_line.h"

namespace qvsim {
namespace {

void MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return;
  cfmakeraw(&tio);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &tio);
}

// A link qvsim made earlier points at a pseudo-terminal's client side; any
// other file at the path belongs to someone and is never replaced.
bool IsOurLink(const std::string& path, std::string* target) {
  char buffer[256] = {};
  const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);
  if (n <= 0) return false;
  *target = std::string(buffer, static_cast<size_t>(n));
  const std::string pts = "/dev/pts/";
  return target->rfind(pts, 0) == 0 && target->size() > pts.size() &&
         target->find_first_not_of("0123456789", pts.size()) == std::string::npos;
}

}  // namespace

bool SimLine::OpenPty(const std::string& link, std::string* error) {
  const int fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname(fd) == nullptr) {
    *error = std::string("cannot make a pseudo-terminal: ") + strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  handle_ = fd;
  clientPath_ = ptsname(fd);
  ptyPath_ = clientPath_;
  // Hold the client side open so that the line stays up between clients.
  keepOpen_ = open(clientPath_.c_str(), O_RDWR | O_NOCTTY);
  if (!link.empty()) {
    struct stat status {};
    std::string old;
    if (lstat(link.c_str(), &status) == 0) {
      if (!IsOurLink(link, &old)) {
        *error = "--pty " + link + ": the path exists and is not a pseudo-terminal link qvsim made; "
                 "name a new path";
        return false;
      }
      unlink(link.c_str());
    }
    if (symlink(clientPath_.c_str(), link.c_str()) != 0) {
      *error = "--pty " + link + ": cannot make the link: " + strerror(errno);
      return false;
    }
    link_ = link;
    clientPath_ = link_;
  }
  return true;
}

bool SimLine::OpenDevice(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  handle_ = fd;
  clientPath_ = path;
  return true;
}

bool SimLine::Open(const std::string& where, int baud, std::string* error) {
  where_ = where;
  baud_ = baud;
  if (where.rfind("fd:", 0) == 0) {
    const int fd = atoi(where.c_str() + 3);
    if (fcntl(fd, F_GETFD) < 0) {
      *error = "descriptor " + where.substr(3) + " is not open";
      return false;
    }
    handle_ = fd;
  } else if (where.rfind("pty:", 0) == 0) {
    if (!OpenPty(where.substr(4), error)) return false;
  } else if (!OpenDevice(where, error)) {
    return false;
  }
  const int fd = static_cast<int>(handle_);
  MakeRaw(fd);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return true;
}

bool SimLine::Drop(std::string* error) {
  if (where_.rfind("fd:", 0) == 0) {
    *error = "an inherited descriptor cannot be taken away and brought back";
    return false;
  }
  const std::string path = clientPath_;
  Close();
  clientPath_ = path;
  return true;
}

bool SimLine::Restore(std::string* error) {
  if (!Open(where_, baud_, error)) return false;
  return true;
}

int SimLine::Read(uint8_t* buffer, int capacity, int waitMs) {
  pollfd p{static_cast<int>(handle_), POLLIN, 0};
  if (poll(&p, 1, waitMs) <= 0 || !(p.revents & POLLIN)) {
    // A pty whose client side is closed reports a hang-up: wait, do not spin.
    if (p.revents & (POLLHUP | POLLERR)) SleepMs(waitMs);
    return 0;
  }
  const ssize_t n = read(static_cast<int>(handle_), buffer, static_cast<size_t>(capacity));
  return n > 0 ? static_cast<int>(n) : 0;
}

bool SimLine::Write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(static_cast<int>(handle_), bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else {
      pollfd p{static_cast<int>(handle_), POLLOUT, 0};
      poll(&p, 1, 10);
    }
  }
  return true;
}

int SimLine::Baud() const {
  // A pseudo-terminal's master reports the termios its client side set.
  termios tio{};
  if (tcgetattr(static_cast<int>(handle_), &tio) != 0) return 0;
  struct Rate {
    speed_t code;
    int baud;
  };
  static const Rate kRates[] = {{B300, 300},     {B600, 600},     {B1200, 1200},   {B2400, 2400},
                                {B4800, 4800},   {B9600, 9600},   {B19200, 19200}, {B38400, 38400},
                                {B57600, 57600}, {B115200, 115200}};
  const speed_t speed = cfgetospeed(&tio);
  for (const auto& rate : kRates) {
    if (rate.code == speed) return rate.baud;
  }
  return 0;
}

void SimLine::Close() {
  // Only the link this run made, and only while it still points where it
  // did; it goes first, so that a client that sees the hang-up finds the
  // name gone too, as with an unplugged adapter.
  std::string target;
  if (!link_.empty() && IsOurLink(link_, &target) && target == ptyPath_) unlink(link_.c_str());
  if (handle_ >= 0) close(static_cast<int>(handle_));
  if (keepOpen_ >= 0) close(static_cast<int>(keepOpen_));
  handle_ = keepOpen_ = -1;
  link_.clear();
}

void SleepMs(int ms) { SleepUs(static_cast<int64_t>(ms) * 1000); }

void SleepUs(int64_t us) {
  if (us <= 0) return;
  timespec t{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

int64_t NowUs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

}  // namespace qvsim
