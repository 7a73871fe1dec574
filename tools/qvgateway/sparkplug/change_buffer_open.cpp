// Opening the buffer: the folder made and locked, what a previous run left
// read back and checked, the replay position restored, the bound applied.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tools/qvgateway/sparkplug/change_buffer.h"
#include "tools/qvgateway/sparkplug/change_record.h"

namespace qvgateway {
namespace {

constexpr uint64_t kSmallestBound = 1024;
constexpr uint64_t kLargestSegment = 1u << 20;

bool MakeFolders(const std::string& dir) {
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    const std::string part = dir.substr(0, slash);
    if (mkdir(part.c_str(), 0750) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

// "changes-000012.buf" is segment 12; anything else is not ours.
bool SegmentNumber(const char* name, uint64_t* number) {
  unsigned long long value = 0;
  int end = 0;
  if (sscanf(name, "changes-%llu.buf%n", &value, &end) != 1 || name[end] != '\0' || name[8] < '0' || name[8] > '9') {
    return false;
  }
  *number = value;
  return true;
}

std::string Number(uint64_t n) { return std::to_string(static_cast<unsigned long long>(n)); }

std::string Join(const std::vector<std::string>& sentences) {
  std::string text;
  for (const std::string& s : sentences) text += (text.empty() ? "" : " ") + s;
  return text;
}

}  // namespace

bool ChangeBuffer::Open(const std::string& dir, uint64_t maxBytes, std::string* error, std::string* note) {
  Close();
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (note != nullptr) note->clear();
  if (maxBytes < kSmallestBound) {
    *error = "the store-and-forward bound of " + Number(maxBytes) + " bytes is too small: give at least " +
             Number(kSmallestBound) + " bytes.";
    return false;
  }
  if (!LockFolder(dir, error)) return false;
  maxBytes_ = maxBytes;
  segmentLimit_ = std::min(maxBytes / 8, kLargestSegment);
  std::vector<uint64_t> numbers;
  if (DIR* listing = opendir(dir_.c_str())) {
    while (const dirent* entry = readdir(listing)) {
      uint64_t number = 0;
      if (SegmentNumber(entry->d_name, &number)) numbers.push_back(number);
    }
    closedir(listing);
  }
  std::sort(numbers.begin(), numbers.end());
  std::vector<std::string> notes;
  for (uint64_t number : numbers) {
    if (!LoadSegment(number, &notes, error)) {
      Close();
      return false;
    }
    nextNumber_ = number + 1;
  }
  LoadPosition(&notes);
  for (const Segment& segment : segments_) depth_ += segment.records;
  depth_ -= headRecords_;
  FitBound(&notes);
  headUnixMs_ = -1;
  SettleHead();
  if (segments_.empty()) unlink(PositionPath().c_str());
  if (note != nullptr) *note = Join(notes);
  return true;
}

bool ChangeBuffer::LockFolder(const std::string& named, std::string* error) {
  const std::string what = "the store-and-forward folder " + named;
  std::string dir = named;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir.empty()) {
    *error = "no store-and-forward folder was given: name one the gateway may write.";
    return false;
  }
  if (!MakeFolders(dir)) {
    *error = "cannot create " + what + ": " + strerror(errno) + "; create it writable for the gateway's user, or name another.";
    return false;
  }
  dirFd_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd_ < 0) {
    *error = "cannot open " + what + ": " + strerror(errno) + "; name a folder the gateway may write.";
    return false;
  }
  // Two gateways writing the same files would interleave their changes.
  if (flock(dirFd_, LOCK_EX | LOCK_NB) != 0) {
    *error = what + " is in use by another process (another gateway with the same folder?); give each gateway its own.";
    close(dirFd_);
    dirFd_ = -1;
    return false;
  }
  dir_ = dir;
  // A folder that can be read but not written would fail only at the first
  // outage, when it matters most: find out now.
  const std::string probe = PositionPath() + ".tmp";
  const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  if (fd < 0) {
    *error = "cannot write in " + what + ": " + strerror(errno) + "; make it writable for the gateway's user, or name another.";
    close(dirFd_);
    dirFd_ = -1;
    return false;
  }
  close(fd);
  unlink(probe.c_str());
  return true;
}

bool ChangeBuffer::LoadSegment(uint64_t number, std::vector<std::string>* notes, std::string* error) {
  const std::string path = SegmentPath(number);
  const std::string name = path.substr(dir_.size() + 1);
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) {
    *error = "cannot open the buffered changes in " + path + ": " + strerror(errno) +
             "; make the folder's files writable for the gateway's user.";
    if (fd >= 0) close(fd);
    return false;
  }
  const uint64_t size = static_cast<uint64_t>(info.st_size);
  char header[kSegmentHeaderBytes];
  const ssize_t got = pread(fd, header, sizeof header, 0);
  const HeaderCheck check = CheckSegmentHeader(header, got > 0 ? static_cast<size_t>(got) : 0);
  if (check == HeaderCheck::NewerVersion) {
    close(fd);
    *error = path + " was written by a newer version of the gateway: run that version to replay it, or move the "
             "changes-*.buf files out of the folder.";
    return false;
  }
  SegmentReader reader(fd, kSegmentHeaderBytes, size);
  Segment segment;
  segment.number = number;
  RecordView view;
  SegmentReader::Step step = SegmentReader::Step::End;
  if (check == HeaderCheck::Good) {
    while ((step = reader.Next(&view)) == SegmentReader::Step::Record) {
      if (segment.records++ == 0) segment.firstUnixMs = view.unixMs;
    }
  }
  if (step == SegmentReader::Step::IoError) {
    *error = "cannot read " + path + ": " + strerror(reader.error()) + ".";
    close(fd);
    return false;
  }
  const uint64_t good = check == HeaderCheck::Good ? reader.offset() : 0;
  if (check == HeaderCheck::Short && size > 0) {
    notes->push_back(name + " was cut short while it was started (" + Number(size) + " bytes): removed.");
  } else if (check == HeaderCheck::Foreign) {
    notes->push_back(name + " does not begin as a file of buffered changes: its " + Number(size) +
                     " bytes were removed.");
  } else if (step == SegmentReader::Step::Torn) {
    notes->push_back(name + " ended in a change cut short by a stop: its last " + Number(size - good) +
                     " bytes were dropped.");
  } else if (step != SegmentReader::Step::End) {
    notes->push_back(name + " holds a damaged change at byte " + Number(good) + ": it and the " +
                     Number(size - good) + " bytes from there were dropped; the changes before it and in later "
                     "files are kept.");
  }
  if (segment.records == 0) {
    close(fd);
    unlink(path.c_str());
    return true;
  }
  if (good < size && ftruncate(fd, static_cast<off_t>(good)) != 0) {
    *error = "cannot cut the damaged end off " + path + ": " + strerror(errno) + ".";
    close(fd);
    return false;
  }
  close(fd);
  segment.bytes = good;
  segments_.push_back(segment);
  totalBytes_ += good;
  return true;
}

void ChangeBuffer::LoadPosition(std::vector<std::string>* notes) {
  headOffset_ = kSegmentHeaderBytes;
  headRecords_ = 0;
  std::string bytes;
  if (!ReadSmallFile(PositionPath(), 64, &bytes)) return;
  uint64_t number = 0, offset = 0;
  const char* const resend = ": the replay starts at the oldest change kept, so some may be sent twice.";
  if (!DecodePosition(bytes, &number, &offset)) {
    notes->push_back(std::string("the replay position was unreadable") + resend);
    return;
  }
  nextNumber_ = std::max(nextNumber_, number + 1);
  // Everything before the position was sent; a stop may have come between
  // moving the position and removing the files it passed.
  while (!segments_.empty() && segments_.front().number < number) {
    unlink(SegmentPath(segments_.front().number).c_str());
    totalBytes_ -= segments_.front().bytes;
    segments_.pop_front();
  }
  if (segments_.empty() || segments_.front().number != number) return;
  Segment& front = segments_.front();
  if (offset >= front.bytes) {  // also when damage cut the file short
    headOffset_ = front.bytes;
    headRecords_ = front.records;
    return;
  }
  const int fd = open(SegmentPath(number).c_str(), O_RDONLY | O_CLOEXEC);
  SegmentReader reader(fd, kSegmentHeaderBytes, offset);
  RecordView view;
  uint64_t before = 0;
  while (fd >= 0 && reader.Next(&view) == SegmentReader::Step::Record) ++before;
  if (fd >= 0) close(fd);
  if (fd < 0 || reader.offset() != offset) {
    notes->push_back(std::string("the replay position does not fall on a change") + resend);
    return;
  }
  headOffset_ = offset;
  headRecords_ = before;
}

void ChangeBuffer::FitBound(std::vector<std::string>* notes) {
  const uint64_t before = dropped_;
  while (totalBytes_ > maxBytes_ && !segments_.empty()) DropOldest();
  if (dropped_ > before) {
    notes->push_back(Number(dropped_ - before) + " buffered changes, the oldest, were dropped to fit the bound of " +
                     Number(maxBytes_) + " bytes.");
  }
}

void ChangeBuffer::Close() {
  if (!IsOpen()) return;
  Sync();
  CloseWriteSegment();
  if (positionFd_ >= 0) close(positionFd_);
  positionFd_ = -1;
  close(dirFd_);
  dirFd_ = -1;
  segments_.clear();
  peekEnds_.clear();
  damageFound_ = false;
  headOffset_ = kSegmentHeaderBytes;
  headRecords_ = 0;
  headUnixMs_ = -1;
  depth_ = totalBytes_ = dropped_ = damaged_ = 0;
  nextNumber_ = 1;
  writeDirty_ = folderDirty_ = positionDirty_ = false;
}

}  // namespace qvgateway
