#include "tools/qvgateway/sparkplug/durable_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace qvgateway {
namespace {

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool SyncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

bool WriteFileAtomically(const std::string& path, const std::string& bytes, bool sync, std::string* error) {
  // A temporary file left by a stop in the middle of this is simply
  // written over: the name it would replace is still whole.
  const std::string temporary = path + ".tmp";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  if (fd < 0) {
    if (error != nullptr) *error = "cannot write " + temporary + ": " + strerror(errno);
    return false;
  }
  bool ok = WriteAll(fd, bytes);
  int problem = ok ? 0 : errno;
  if (ok && sync && fsync(fd) != 0) {
    ok = false;
    problem = errno;
  }
  close(fd);
  if (ok && rename(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    problem = errno;
  }
  if (!ok) {
    unlink(temporary.c_str());
    if (error != nullptr) *error = "cannot write " + path + ": " + strerror(problem != 0 ? problem : EIO);
    return false;
  }
  if (sync) SyncFolder(FolderOf(path));
  return true;
}

bool ReadSmallFile(const std::string& path, size_t maxBytes, std::string* bytes) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bytes->assign(maxBytes + 1, '\0');
  size_t have = 0;
  bool ok = true;
  while (have < bytes->size()) {
    const ssize_t n = read(fd, &(*bytes)[have], bytes->size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  close(fd);
  bytes->resize(have);
  return ok && have <= maxBytes;
}

bool ReadCounter(const std::string& path, int64_t* value) {
  std::string text;
  if (!ReadSmallFile(path, 24, &text) || text.size() < 2 || text.back() != '\n') return false;
  text.pop_back();
  const bool negative = text[0] == '-';
  if (text.size() == (negative ? 1u : 0u) || text.size() > 20) return false;
  uint64_t magnitude = 0;
  for (size_t i = negative ? 1 : 0; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    const uint64_t next = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
    if (next / 10 != magnitude) return false;
    magnitude = next;
  }
  if (magnitude > (negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1)) return false;
  *value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

bool WriteCounter(const std::string& path, int64_t value, std::string* error) {
  return WriteFileAtomically(path, std::to_string(value) + "\n", true, error);
}

}  // namespace qvgateway
