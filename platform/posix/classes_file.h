// The file behind the Linux classes root, shared with every other program
// that registers there: read without following a link, changed only under
// an exclusive lock, replaced whole and atomically.
#pragma once

#include <string>

namespace quorvalend {

// The file's bytes, exactly; empty when it does not exist yet. False when
// it cannot be read, or is a symbolic link or anything but a regular file.
bool ReadClassesFile(const std::string& path, std::string* text);

// Holds the exclusive lock of `path` (on "PATH.lock" beside it, which is
// never replaced) for as long as it lives.
class ClassesFileLock {
 public:
  explicit ClassesFileLock(const std::string& path);
  ~ClassesFileLock();
  ClassesFileLock(const ClassesFileLock&) = delete;
  ClassesFileLock& operator=(const ClassesFileLock&) = delete;
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Writes `text` to a new file beside `path` and renames it over `path`, so
// a reader sees the old file or the new one, never a part. Refuses when
// `path` is a symbolic link or anything but a regular file. Call it holding
// the lock.
bool ReplaceClassesFile(const std::string& path, const std::string& text);

}  // namespace quorvalend
