#include "tools/qvgateway/sparkplug/change_buffer.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "tools/qvgateway/sparkplug/change_record.h"

namespace qvgateway {
namespace {

bool WriteAt(int fd, const std::string& bytes, uint64_t offset) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string ChangeBuffer::SegmentPath(uint64_t number) const {
  char name[40];
  snprintf(name, sizeof name, "/changes-%06llu.buf", static_cast<unsigned long long>(number));
  return dir_ + name;
}

bool ChangeBuffer::Append(int64_t unixMs, const std::string& bytes) {
  if (!IsOpen()) return false;
  ApplyDamage();
  const uint64_t framed = kRecordOverheadBytes + bytes.size();
  if (bytes.size() > kMaxRecordBytes || kSegmentHeaderBytes + framed > maxBytes_) {
    ++dropped_;
    return true;
  }
  if (writeFd_ >= 0 && segments_.back().records > 0 && segments_.back().bytes + framed > segmentLimit_) {
    CloseWriteSegment();
  }
  if (writeFd_ < 0 && !StartSegment(framed)) return false;
  while (totalBytes_ + framed > maxBytes_ && segments_.size() > 1) DropOldest();
  frame_.clear();
  FrameRecord(unixMs, bytes, &frame_);
  Segment& newest = segments_.back();
  // One write for the whole record: a kill leaves all of it with the
  // kernel or a torn tail that the next Open drops.
  if (!WriteAt(writeFd_, frame_, newest.bytes)) {
    const int error = errno;
    if (ftruncate(writeFd_, static_cast<off_t>(newest.bytes)) != 0) CloseWriteSegment();
    errno = error;
    return false;
  }
  if (newest.records == 0) newest.firstUnixMs = unixMs;
  ++newest.records;
  newest.bytes += framed;
  totalBytes_ += framed;
  if (++depth_ == 1) headUnixMs_ = unixMs;
  writeDirty_ = true;
  return true;
}

// Opens the newest segment again when it has room (after Open), or starts
// a new one.
bool ChangeBuffer::StartSegment(size_t framed) {
  if (!segments_.empty() && segments_.back().bytes + framed <= segmentLimit_) {
    writeFd_ = open(SegmentPath(segments_.back().number).c_str(), O_WRONLY | O_CLOEXEC);
    if (writeFd_ >= 0) return true;
  }
  const uint64_t number = nextNumber_;
  const std::string path = SegmentPath(number);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  if (fd < 0) return false;
  if (!WriteAt(fd, SegmentHeader(), 0)) {
    const int error = errno;
    close(fd);
    unlink(path.c_str());
    errno = error;
    return false;
  }
  ++nextNumber_;
  writeFd_ = fd;
  writeDirty_ = true;
  folderDirty_ = true;
  Segment segment;
  segment.number = number;
  segment.bytes = kSegmentHeaderBytes;
  segments_.push_back(segment);
  totalBytes_ += kSegmentHeaderBytes;
  SettleHead();
  return true;
}

void ChangeBuffer::CloseWriteSegment() {
  if (writeFd_ < 0) return;
  if (writeDirty_) unsynced_.push_back(segments_.back().number);
  close(writeFd_);
  writeFd_ = -1;
  writeDirty_ = false;
}

// The oldest segment goes whole, with what it still held.
void ChangeBuffer::DropOldest() {
  const uint64_t lost = segments_.front().records - headRecords_;
  dropped_ += lost;
  depth_ -= lost;
  RemoveFront();
}

void ChangeBuffer::RemoveFront() {
  const Segment& front = segments_.front();
  if (damageFound_ && damage_.segment == front.number) damageFound_ = false;
  if (segments_.size() == 1) CloseWriteSegment();
  unlink(SegmentPath(front.number).c_str());
  folderDirty_ = true;
  totalBytes_ -= front.bytes;
  segments_.pop_front();
  headOffset_ = kSegmentHeaderBytes;
  headRecords_ = 0;
  headUnixMs_ = segments_.empty() ? -1 : segments_.front().firstUnixMs;
}

// A replayed segment is deleted once a newer one exists, and the head's
// time is known whenever something is held.
void ChangeBuffer::SettleHead() {
  while (segments_.size() > 1 && headRecords_ >= segments_.front().records) RemoveFront();
  if (depth_ == 0 || headUnixMs_ >= 0) return;
  const Segment& front = segments_.front();
  if (headRecords_ == 0) {
    headUnixMs_ = front.firstUnixMs;
    return;
  }
  char header[12];
  const int fd = open(SegmentPath(front.number).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0 && pread(fd, header, sizeof header, static_cast<off_t>(headOffset_)) == sizeof header) {
    headUnixMs_ = RecordTime(header);
  }
  if (fd >= 0) close(fd);
}

std::vector<BufferedRecord> ChangeBuffer::Walk(size_t max, bool copy, std::vector<PeekEnd>* ends) const {
  std::vector<BufferedRecord> records;
  ends->clear();
  if (copy) records.reserve(max < depth_ ? max : static_cast<size_t>(depth_));
  for (size_t i = 0; i < segments_.size() && ends->size() < max; ++i) {
    const Segment& segment = segments_[i];
    uint64_t offset = i == 0 ? headOffset_ : kSegmentHeaderBytes;
    uint64_t before = i == 0 ? headRecords_ : 0;
    const uint64_t limit = damageFound_ && damage_.segment == segment.number ? damage_.offset : segment.bytes;
    if (offset >= limit) continue;
    const int fd = open(SegmentPath(segment.number).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) break;
    SegmentReader reader(fd, offset, limit);
    RecordView view;
    SegmentReader::Step step = SegmentReader::Step::Record;
    while (ends->size() < max && (step = reader.Next(&view)) == SegmentReader::Step::Record) {
      if (!ends->empty() && ends->back().nextUnixMs < 0) ends->back().nextUnixMs = view.unixMs;
      if (copy) records.push_back(BufferedRecord{view.unixMs, std::string(view.bytes, view.size)});
      ends->push_back(PeekEnd{segment.number, reader.offset(), ++before, -1});
    }
    close(fd);
    if (step == SegmentReader::Step::IoError) break;
    // The disk changed under us: this segment ends here, and the next
    // Consume or Append drops the rest of it.
    if (step != SegmentReader::Step::Record && step != SegmentReader::Step::End && !damageFound_) {
      damageFound_ = true;
      damage_ = PeekEnd{segment.number, reader.offset(), before, -1};
    }
  }
  return records;
}

std::vector<BufferedRecord> ChangeBuffer::Peek(size_t max) const {
  if (!IsOpen() || max == 0) return {};
  return Walk(max, true, &peekEnds_);
}

void ChangeBuffer::Consume(size_t n) {
  if (!IsOpen()) return;
  std::vector<PeekEnd> ends;
  if (n > 0 && !peekEnds_.empty()) {
    const size_t fromPeek = n < peekEnds_.size() ? n : peekEnds_.size();
    MoveHead(peekEnds_[fromPeek - 1]);
    n -= fromPeek;
  }
  peekEnds_.clear();
  if (n > 0) {
    Walk(n, false, &ends);
    if (!ends.empty()) MoveHead(ends.back());
  }
  ApplyDamage();
  SettleHead();
}

void ChangeBuffer::MoveHead(const PeekEnd& end) {
  while (segments_.size() > 1 && segments_.front().number < end.segment) {
    const Segment& front = segments_.front();
    uint64_t good = front.records;
    if (damageFound_ && damage_.segment == front.number) good = damage_.recordsBefore;
    depth_ -= front.records - headRecords_;
    damaged_ += front.records - good;
    RemoveFront();
  }
  // Past the head already: the bound dropped its segment since the Peek.
  if (segments_.empty() || segments_.front().number != end.segment || end.recordsBefore < headRecords_) return;
  depth_ -= end.recordsBefore - headRecords_;
  headOffset_ = end.offset;
  headRecords_ = end.recordsBefore;
  headUnixMs_ = end.nextUnixMs;
  SettleHead();
  SavePosition();
}

// Cuts the damaged rest off the segment Peek found it in.
void ChangeBuffer::ApplyDamage() {
  if (!damageFound_) return;
  damageFound_ = false;
  for (Segment& segment : segments_) {
    if (segment.number != damage_.segment || damage_.recordsBefore > segment.records) continue;
    const uint64_t lost = segment.records - damage_.recordsBefore;
    const bool newest = &segment == &segments_.back() && writeFd_ >= 0;
    const bool cut = newest ? ftruncate(writeFd_, static_cast<off_t>(damage_.offset)) == 0
                            : truncate(SegmentPath(segment.number).c_str(), static_cast<off_t>(damage_.offset)) == 0;
    if (!cut) return;
    totalBytes_ -= segment.bytes - damage_.offset;
    segment.bytes = damage_.offset;
    segment.records = damage_.recordsBefore;
    depth_ -= lost;
    damaged_ += lost;
  }
  SettleHead();
}

// Written in place, not renamed: a replay moves it every batch, and a
// rename costs the file system far more than one small write. A torn
// write fails its check, and the replay then starts again at the oldest
// file: changes sent twice, never lost.
void ChangeBuffer::SavePosition() {
  if (segments_.empty()) return;
  const std::string position = EncodePosition(segments_.front().number, headOffset_);
  const bool first = positionFd_ < 0;
  if (first) {
    positionFd_ = open(PositionPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    folderDirty_ = true;
  }
  if (positionFd_ >= 0 && WriteAt(positionFd_, position, 0)) {
    // Whatever a damaged file held beyond it goes once the new one is there.
    if (first && ftruncate(positionFd_, static_cast<off_t>(position.size())) != 0) return;
    positionDirty_ = true;
  }
}

void ChangeBuffer::Sync() {
  if (writeFd_ >= 0 && writeDirty_) fdatasync(writeFd_);
  writeDirty_ = false;
  // Segments dropped or replayed since need no flushing.
  for (uint64_t number : unsynced_) {
    if (segments_.empty() || number < segments_.front().number) continue;
    const int fd = open(SegmentPath(number).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    fdatasync(fd);
    close(fd);
  }
  unsynced_.clear();
  if (positionDirty_ && positionFd_ >= 0) fdatasync(positionFd_);
  positionDirty_ = false;
  if (folderDirty_ && dirFd_ >= 0) fsync(dirFd_);
  folderDirty_ = false;
}

void ChangeBuffer::Clear() {
  if (!IsOpen()) return;
  CloseWriteSegment();
  unsynced_.clear();
  writeDirty_ = false;
  // The segments go first: a stop in between leaves a position that points
  // before every segment number still to come, which means nothing.
  for (const Segment& segment : segments_) unlink(SegmentPath(segment.number).c_str());
  if (positionFd_ >= 0) close(positionFd_);
  positionFd_ = -1;
  unlink(PositionPath().c_str());
  segments_.clear();
  peekEnds_.clear();
  damageFound_ = false;
  positionDirty_ = false;
  folderDirty_ = true;
  headOffset_ = kSegmentHeaderBytes;
  headRecords_ = 0;
  headUnixMs_ = -1;
  depth_ = 0;
  totalBytes_ = 0;
}

}  // namespace qvgateway
