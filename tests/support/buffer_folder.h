// A folder of its own for each store-and-forward test, removed with all it
// holds when the test ends (also when it fails), and the changes the tests
// write: each one different, of varying length, so that a record read at
// the wrong place or in the wrong order never passes for the right one.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/qvgateway/sparkplug/change_buffer.h"
#include "tools/qvgateway/sparkplug/change_record.h"

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

inline uint64_t Framed(uint64_t i) { return qvgateway::kRecordOverheadBytes + ChangeBytes(i).size(); }

// Where change `i` starts in its segment file, and which file that is,
// from the files' sizes: records follow each other with nothing between.
struct Place {
  size_t segment = 0;
  uint64_t offset = 0;
};
inline Place PlaceOf(const BufferFolder& folder, uint64_t first, uint64_t i) {
  const std::vector<std::string> segments = folder.Segments();
  uint64_t change = first;
  for (size_t s = 0; s < segments.size(); ++s) {
    uint64_t offset = qvgateway::kSegmentHeaderBytes;
    const uint64_t size = std::filesystem::file_size(segments[s]);
    for (; offset < size; offset += Framed(change++)) {
      if (change == i) return Place{s, offset};
    }
  }
  ADD_FAILURE() << "change " << i << " is in no file";
  return Place{};
}

inline void FlipByte(const std::string& path, uint64_t offset, char mask) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekg(static_cast<std::streamoff>(offset));
  char byte = 0;
  file.get(byte);
  file.seekp(static_cast<std::streamoff>(offset));
  file.put(static_cast<char>(byte ^ mask));
}

}  // namespace qvtest
