#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/host/console_text.h"
#include "tools/host/trace_forward.h"

namespace qvhost {

bool TraceForward::Open(const UserTrace& user, bool toStandardError, std::string* problem) {
  // "debug" is standard error on Linux, as the driver has it.
  toStandardError_ = toStandardError || strcasecmp(user.target.c_str(), "debug") == 0;
  if (user.target.empty() || strcasecmp(user.target.c_str(), "debug") == 0) return true;
  path_ = user.target;
  maxBytes_ = user.maxBytes;
  return Reopen(problem);
}

bool TraceForward::Reopen(std::string* problem) {
  if (file_ >= 0) close(static_cast<int>(file_));
  file_ = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (file_ < 0) {
    const int error = errno;
    *problem = error == ELOOP ? "it is a symbolic link, which the trace never follows" : strerror(error);
    return false;
  }
  struct stat status {};
  if (fstat(static_cast<int>(file_), &status) != 0 || !S_ISREG(status.st_mode)) {
    close(static_cast<int>(file_));
    file_ = -1;
    *problem = "it is not a regular file";
    return false;
  }
  return true;
}

void TraceForward::Rotate() {
  const int fd = static_cast<int>(file_);
  if (flock(fd, LOCK_EX) != 0) return;
  struct stat mine {}, named {};
  if (fstat(fd, &mine) == 0 && lstat(path_.c_str(), &named) == 0 && mine.st_ino == named.st_ino) {
    rename(path_.c_str(), (path_ + ".1").c_str());
  }
  flock(fd, LOCK_UN);
  std::string ignored;
  Reopen(&ignored);
}

void TraceForward::Write(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    if (toStandardError_) WriteText(Stream::Err, line);
    if (file_ < 0) continue;
    struct stat status {};
    if (fstat(static_cast<int>(file_), &status) == 0 &&
        static_cast<uint64_t>(status.st_size) + line.size() > maxBytes_) {
      Rotate();
      if (file_ < 0) continue;
    }
    // One write per line, so that lines of other writers never interleave.
    if (write(static_cast<int>(file_), line.data(), line.size()) < 0) continue;
  }
}

TraceForward::~TraceForward() {
  if (file_ >= 0) close(static_cast<int>(file_));
}

}  // namespace qvhost
