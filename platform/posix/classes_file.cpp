#include "platform/posix/classes_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvalend {
namespace {

constexpr mode_t kNewFileMode = 0600;

// Closes a descriptor on every way out, exceptions included.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }

 private:
  int fd_;
};

// A temporary file's name, made (and its memory taken) before the file
// exists; the file is removed unless it was renamed into place. Only a
// file we created is ever removed.
class TemporaryName {
 public:
  explicit TemporaryName(const std::string& beside) : name_(beside + ".XXXXXX") {}
  ~TemporaryName() {
    if (created_ && !kept_) unlink(name_.c_str());
  }
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;
  // Creates the file exclusively (O_EXCL) with mode 0600.
  int Create() {
    const int fd = mkostemp(&name_[0], O_CLOEXEC);
    created_ = fd >= 0;
    return fd;
  }
  const char* Get() const { return name_.c_str(); }
  void Keep() { kept_ = true; }

 private:
  std::string name_;
  bool created_ = false;
  bool kept_ = false;
};

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool ReadClassesFile(const std::string& path, std::string* text) {
  text->clear();
  // Non-blocking, so that a FIFO put in the file's place cannot stall us.
  Descriptor file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (file.Get() < 0) return errno == ENOENT;
  struct stat status {};
  if (fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  char chunk[16384];
  for (;;) {
    const ssize_t n = read(file.Get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text->append(chunk, static_cast<size_t>(n));
  }
}

ClassesFileLock::ClassesFileLock(const std::string& path) {
  const std::string lockPath = path + ".lock";
  const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, kNewFileMode);
  if (fd < 0) return;
  struct stat status {};
  int locked = -1;
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
    do {
      locked = flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
  }
  if (locked != 0) {
    close(fd);
    return;
  }
  fd_ = fd;
}

ClassesFileLock::~ClassesFileLock() {
  if (fd_ >= 0) close(fd_);
}

bool ReplaceClassesFile(const std::string& path, const std::string& text) {
  // The rename replaces a link rather than writing through it, but a link
  // here was put by someone else: leave it, and the file, alone.
  struct stat existing {};
  mode_t mode = kNewFileMode;
  if (lstat(path.c_str(), &existing) == 0) {
    if (!S_ISREG(existing.st_mode)) return false;
    mode = existing.st_mode & 0777;
  } else if (errno != ENOENT) {
    return false;
  }

  TemporaryName temporary(path);
  Descriptor file(temporary.Create());
  if (file.Get() < 0) return false;
  if (!WriteAll(file.Get(), text) || fchmod(file.Get(), mode) != 0 || fsync(file.Get()) != 0 || !file.Close()) {
    return false;
  }
  if (rename(temporary.Get(), path.c_str()) != 0) return false;
  temporary.Keep();
  return true;
}

}  // namespace quorvalend
