// How a buffered change is framed on disk, so that a record cut short by a
// kill or a power loss, or one rotted on disk, is told apart from a good one
// and never read as data.
//   file:   magic "QVCB", version (u32 LE), then records
//   record: length (u32 LE), time (i64 LE, ms since the epoch), bytes,
//           CRC-32 (u32 LE) over length, time and bytes
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace qvgateway {

constexpr size_t kSegmentHeaderBytes = 8;
constexpr uint32_t kSegmentVersion = 1;
constexpr size_t kRecordOverheadBytes = 16;
// A length beyond this is a damaged length field, not a change: no metric
// set the gateway publishes comes near it.
constexpr uint32_t kMaxRecordBytes = 16u << 20;

uint32_t Crc32(const void* data, size_t size, uint32_t crc = 0);

std::string SegmentHeader();
enum class HeaderCheck { Good, Short, Foreign, NewerVersion };
HeaderCheck CheckSegmentHeader(const char* data, size_t size);

// Appends the framed record to `out`.
void FrameRecord(int64_t unixMs, const std::string& bytes, std::string* out);

struct RecordView {
  int64_t unixMs = 0;
  const char* bytes = nullptr;
  uint32_t size = 0;
  size_t framedSize = 0;
};
// Short: `available` holds less than the record says it has (at the end of
// a file: a torn record). Absurd: a length no record has. BadCheck: the CRC
// fails. Only Good fills `record`.
enum class RecordCheck { Good, Short, Absurd, BadCheck };
RecordCheck ReadRecord(const char* data, size_t available, RecordView* record);
// The time field alone, from at least the first 12 bytes of a record.
int64_t RecordTime(const char* data);

// How far the replay went: everything before `offset` in segment file
// `segment` was sent. Magic "QVCP", segment and offset (u64 LE), CRC-32.
std::string EncodePosition(uint64_t segment, uint64_t offset);
bool DecodePosition(const std::string& bytes, uint64_t* segment, uint64_t* offset);

// Reads the records of one segment in order from `offset` up to `limit`
// bytes into the file, in chunks, checking each.
class SegmentReader {
 public:
  enum class Step { Record, End, Torn, Absurd, BadCheck, IoError };
  SegmentReader(int fd, uint64_t offset, uint64_t limit) : fd_(fd), offset_(offset), limit_(limit) {}
  Step Next(RecordView* record);
  // Where the next record starts: after the last one read, or at the
  // damage when Next failed.
  uint64_t offset() const { return offset_; }
  int error() const { return error_; }

 private:
  bool Fill(size_t need);
  int fd_;
  uint64_t offset_, limit_;
  std::string chunk_;
  size_t used_ = 0;
  int error_ = 0;
};

}  // namespace qvgateway
