// A folder of its own for each store-and-forward test, removed with all it
// holds when the test ends (also when it fails), and the changes the tests
// write: each one different, of varying length, so that a record read at
// the wrong place or in the wrong order never passes for the right one.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/qvgateway/sparkplug/change_buffer.h"

namespace qvtest {

class BufferFolder {
 public:
  BufferFolder() {
    std::string pattern = ::testing::TempDir() + "qvgw-buffer-XXXXXX";
    if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
  }
  ~BufferFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  BufferFolder(const BufferFolder&) = delete;
  BufferFolder& operator=(const BufferFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // The segment files, oldest first.
  std::vector<std::string> Segments() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("changes-", 0) == 0) names.push_back(entry.path().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string path_;
};

inline int64_t ChangeTime(uint64_t i) { return 1765000000000 + static_cast<int64_t>(i) * 7; }
inline std::string ChangeBytes(uint64_t i) {
  std::string bytes = "change " + std::to_string(i) + ":";
  bytes.append(i * 13 % 50, static_cast<char>('a' + i % 26));
  return bytes;
}

inline bool AppendChanges(qvgateway::ChangeBuffer* buffer, uint64_t first, uint64_t count) {
  for (uint64_t i = first; i < first + count; ++i) {
    if (!buffer->Append(ChangeTime(i), ChangeBytes(i))) return false;
  }
  return true;
}

// Peeks `count` and checks they are changes first.., in order.
inline ::testing::AssertionResult PeeksChanges(const qvgateway::ChangeBuffer& buffer, uint64_t first, size_t count) {
  const std::vector<qvgateway::BufferedRecord> records = buffer.Peek(count);
  if (records.size() != count) {
    return ::testing::AssertionFailure() << "peeked " << records.size() << " of " << count;
  }
  for (size_t k = 0; k < count; ++k) {
    if (records[k].bytes != ChangeBytes(first + k) || records[k].unixMs != ChangeTime(first + k)) {
      return ::testing::AssertionFailure() << "record " << k << " is \"" << records[k].bytes << "\" at "
                                           << records[k].unixMs << ", not change " << first + k;
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace qvtest
