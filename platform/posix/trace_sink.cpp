// Trace lines on POSIX: O_APPEND writes of whole lines; the file is never
// reached through a symbolic link and is created owner-only.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "platform/clock.h"
#include "platform/trace_sink.h"

namespace quorvalend {
namespace {

constexpr size_t kPathCapacity = 512;

// The timestamp, the text and a line end, in a buffer of its own, so the
// line goes out in one write.
size_t ComposeLine(char* line, size_t size, uint64_t fileTime, const char* text, size_t length) {
  size_t n = FormatLocalTimestamp(fileTime, line, size);
  if (n + 1 < size) line[n++] = ' ';
  if (length > size - n - 1) length = size - n - 1;
  memcpy(line + n, text, length);
  n += length;
  line[n++] = '\n';
  return n;
}

void WriteAll(int fd, const char* bytes, size_t n) {
  while (n > 0) {
    const ssize_t done = write(fd, bytes, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return;
    bytes += done;
    n -= static_cast<size_t>(done);
  }
}

class StandardErrorSink final : public TraceSink {
 public:
  void WriteLine(uint64_t fileTime, const char* text, size_t length) override {
    char line[kTraceSinkTextCapacity + 64];
    WriteAll(2, line, ComposeLine(line, sizeof line, fileTime, text, length));
  }
};

// A regular file only: not a link, and not a device or pipe that could
// block the host or send its trace elsewhere.
int OpenForAppending(const char* path) {
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd < 0) return -1;
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

class FileSink final : public TraceSink {
 public:
  FileSink(const char* path, int fd, uint64_t maxBytes) : fd_(fd), maxBytes_(maxBytes) {
    snprintf(path_, sizeof path_, "%s", path);
  }
  ~FileSink() override {
    if (fd_ >= 0) close(fd_);
  }

  void WriteLine(uint64_t fileTime, const char* text, size_t length) override {
    char line[kTraceSinkTextCapacity + 64];
    const size_t n = ComposeLine(line, sizeof line, fileTime, text, length);
    FollowRenames();
    if (fd_ < 0) return;
    struct stat status {};
    if (fstat(fd_, &status) == 0 && static_cast<uint64_t>(status.st_size) + n > maxBytes_) Rotate();
    if (fd_ >= 0) WriteAll(fd_, line, n);
  }

 private:
  // Another process may have renamed the file: write where the path now
  // leads, not into the old one.
  void FollowRenames() {
    struct stat mine {}, named {};
    if (fd_ >= 0 && fstat(fd_, &mine) == 0 && lstat(path_, &named) == 0 && mine.st_ino == named.st_ino &&
        mine.st_dev == named.st_dev) {
      return;
    }
    Reopen();
  }

  // One process renames; the others find the new file by FollowRenames.
  void Rotate() {
    if (flock(fd_, LOCK_EX) != 0) return;
    struct stat mine {}, named {};
    const bool stillOurs = fstat(fd_, &mine) == 0 && lstat(path_, &named) == 0 && mine.st_ino == named.st_ino;
    if (stillOurs && static_cast<uint64_t>(mine.st_size) > 0) {
      char old[kPathCapacity + 4];
      snprintf(old, sizeof old, "%s.1", path_);
      rename(path_, old);
    }
    flock(fd_, LOCK_UN);
    Reopen();
  }

  void Reopen() {
    if (fd_ >= 0) close(fd_);
    fd_ = OpenForAppending(path_);
  }

  char path_[kPathCapacity];
  int fd_;
  uint64_t maxBytes_;
};

}  // namespace

TraceSink* OpenTraceSink(const char* target, uint64_t maxBytes) {
  if (target == nullptr || target[0] == '\0') return nullptr;
  if (strcasecmp(target, kTraceToDebugger) == 0) return new (std::nothrow) StandardErrorSink;
  if (strlen(target) >= kPathCapacity) return nullptr;
  const int fd = OpenForAppending(target);
  if (fd < 0) return nullptr;
  TraceSink* sink = new (std::nothrow) FileSink(target, fd, maxBytes);
  if (sink == nullptr) close(fd);
  return sink;
}

size_t FormatLocalTimestamp(uint64_t fileTime, char* buffer, size_t size) {
  // Signed 64-bit seconds: any file time fits, before 1970 and past 2038.
  const int64_t unixSeconds =
      static_cast<int64_t>(fileTime / 10000000u) - static_cast<int64_t>(kFileTimeUnixEpochSeconds);
  const time_t seconds = static_cast<time_t>(unixSeconds);
  const long milliseconds = static_cast<long>((fileTime / 10000u) % 1000u);
  struct tm local {};
  if (localtime_r(&seconds, &local) == nullptr) return 0;
  const long offset = local.tm_gmtoff / 60;
  const long magnitude = offset < 0 ? -offset : offset;
  const int n = snprintf(buffer, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03ld%c%02ld:%02ld", local.tm_year + 1900,
                         local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, milliseconds,
                         offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
  if (n < 0) return 0;
  return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

}  // namespace quorvalend
