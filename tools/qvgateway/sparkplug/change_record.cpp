#include "tools/qvgateway/sparkplug/change_record.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <array>

namespace qvgateway {
namespace {

constexpr char kMagic[4] = {'Q', 'V', 'C', 'B'};
constexpr size_t kReadChunk = 64 * 1024;

// CRC-32 as zlib and Ethernet compute it (reflected 0xEDB88320), so a
// record can be checked by any common tool.
constexpr std::array<uint32_t, 256> CrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = CrcTable();

void PutU32(uint32_t v, char* p) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (8 * i));
}
void PutI64(int64_t v, char* p) {
  const uint64_t u = static_cast<uint64_t>(v);
  for (int i = 0; i < 8; ++i) p[i] = static_cast<char>(u >> (8 * i));
}
uint32_t GetU32(const char* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(p[i]);
  return v;
}
uint64_t GetU64(const char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(p[i]);
  return v;
}

}  // namespace

uint32_t Crc32(const void* data, size_t size, uint32_t crc) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) crc = kCrcTable[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

std::string SegmentHeader() {
  std::string header(kMagic, sizeof kMagic);
  header.resize(kSegmentHeaderBytes);
  PutU32(kSegmentVersion, &header[4]);
  return header;
}

HeaderCheck CheckSegmentHeader(const char* data, size_t size) {
  if (size < kSegmentHeaderBytes) return HeaderCheck::Short;
  if (memcmp(data, kMagic, sizeof kMagic) != 0) return HeaderCheck::Foreign;
  const uint32_t version = GetU32(data + 4);
  if (version == kSegmentVersion) return HeaderCheck::Good;
  return version > kSegmentVersion ? HeaderCheck::NewerVersion : HeaderCheck::Foreign;
}

void FrameRecord(int64_t unixMs, const std::string& bytes, std::string* out) {
  const size_t start = out->size();
  out->resize(start + 12);
  PutU32(static_cast<uint32_t>(bytes.size()), &(*out)[start]);
  PutI64(unixMs, &(*out)[start + 4]);
  out->append(bytes);
  const uint32_t crc = Crc32(out->data() + start, out->size() - start);
  out->resize(out->size() + 4);
  PutU32(crc, &(*out)[out->size() - 4]);
}

RecordCheck ReadRecord(const char* data, size_t available, RecordView* record) {
  if (available < 4) return RecordCheck::Short;
  const uint32_t size = GetU32(data);
  if (size > kMaxRecordBytes) return RecordCheck::Absurd;
  const size_t framed = kRecordOverheadBytes + size;
  if (available < framed) return RecordCheck::Short;
  if (Crc32(data, framed - 4) != GetU32(data + framed - 4)) return RecordCheck::BadCheck;
  record->unixMs = RecordTime(data);
  record->bytes = data + 12;
  record->size = size;
  record->framedSize = framed;
  return RecordCheck::Good;
}

int64_t RecordTime(const char* data) { return static_cast<int64_t>(GetU64(data + 4)); }

std::string EncodePosition(uint64_t segment, uint64_t offset) {
  std::string bytes("QVCP", 4);
  bytes.resize(24);
  PutI64(static_cast<int64_t>(segment), &bytes[4]);
  PutI64(static_cast<int64_t>(offset), &bytes[12]);
  PutU32(Crc32(bytes.data(), 20), &bytes[20]);
  return bytes;
}

bool DecodePosition(const std::string& bytes, uint64_t* segment, uint64_t* offset) {
  if (bytes.size() != 24 || bytes.compare(0, 4, "QVCP") != 0) return false;
  if (Crc32(bytes.data(), 20) != GetU32(&bytes[20])) return false;
  *segment = GetU64(&bytes[4]);
  *offset = GetU64(&bytes[12]);
  return true;
}

SegmentReader::Step SegmentReader::Next(RecordView* record) {
  for (;;) {
    if (offset_ >= limit_) return Step::End;
    const size_t available = chunk_.size() - used_;
    switch (ReadRecord(chunk_.data() + used_, available, record)) {
      case RecordCheck::Good:
        used_ += record->framedSize;
        offset_ += record->framedSize;
        return Step::Record;
      case RecordCheck::Absurd:
        return Step::Absurd;
      case RecordCheck::BadCheck:
        return Step::BadCheck;
      case RecordCheck::Short:
        break;
    }
    // The length is known once 4 bytes are in; until then ask for a header.
    const size_t need = available >= 4 ? kRecordOverheadBytes + GetU32(chunk_.data() + used_) : kRecordOverheadBytes;
    if (offset_ + need > limit_) return Step::Torn;
    if (!Fill(need)) return error_ != 0 ? Step::IoError : Step::Torn;
  }
}

// Keeps what is left of the chunk and reads on until `need` bytes from the
// current record are in, or the file ends.
bool SegmentReader::Fill(size_t need) {
  chunk_.erase(0, used_);
  used_ = 0;
  uint64_t want = need > kReadChunk ? need : kReadChunk;
  if (offset_ + want > limit_) want = limit_ - offset_;
  size_t have = chunk_.size();
  chunk_.resize(static_cast<size_t>(want));
  while (have < want) {
    const ssize_t n = pread(fd_, &chunk_[have], static_cast<size_t>(want) - have, static_cast<off_t>(offset_ + have));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error_ = errno;
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  chunk_.resize(have);
  return have >= need;
}

}  // namespace qvgateway
