// The store-and-forward file: every change the edge node could not publish,
// kept in order on disk until it is replayed, bounded in size by dropping
// the oldest, and still there after a restart.
//
// On disk: segment files changes-NNNNNN.buf in the folder, each up to an
// eighth of the bound or 1 MiB, whichever is smaller (and at least one
// record), so that dropping the oldest changes is deleting the oldest
// file. A small checked file `position` says how far the oldest file was
// replayed, so a restart after a partial replay does not send the same
// changes twice. Records are framed as change_record.h says.
//
// One thread owns it (the Sparkplug side's): nothing inside is locked.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <string>
#include <vector>

#include "tools/qvgateway/sparkplug/durable_files.h"

namespace qvgateway {

// A record is opaque bytes with the wall-clock time it was made (ms since
// the epoch).
struct BufferedRecord {
  int64_t unixMs = 0;
  std::string bytes;
};

class ChangeBuffer {
 public:
  ChangeBuffer() = default;
  ChangeBuffer(const ChangeBuffer&) = delete;
  ChangeBuffer& operator=(const ChangeBuffer&) = delete;
  ~ChangeBuffer() { Close(); }

  // Opens (creates) the buffer in `dir`: reads what a previous run left,
  // drops a torn last record (never misreads it) and damaged records, and
  // says so in `note` (empty when all was well). False with `error` when
  // the folder cannot be made or written, another process holds it, or it
  // holds files of a newer version of the gateway.
  bool Open(const std::string& dir, uint64_t maxBytes, std::string* error, std::string* note = nullptr);
  // Syncs and closes the files; Open may follow.
  void Close();
  bool IsOpen() const { return dirFd_ >= 0; }

  // False only on an I/O error (the disk is full, say); the file is left
  // as it was before the call. A record longer than the bound allows is
  // counted as dropped.
  bool Append(int64_t unixMs, const std::string& bytes);
  // Makes what was appended and consumed durable against a power loss
  // (fsync); the owner calls it about once a second and at stop. A killed
  // process loses nothing written before: the kernel has it.
  void Sync();

  // The oldest `max` records, in order, without removing them.
  std::vector<BufferedRecord> Peek(size_t max) const;
  // Removes the first `n` records of the last Peek (or the oldest `n`
  // without one). Those dropped for the bound since that Peek are not
  // removed twice.
  void Consume(size_t n);
  // Everything replayed: the files are removed.
  void Clear();

  size_t Depth() const { return static_cast<size_t>(depth_); }
  int64_t OldestUnixMs() const { return depth_ > 0 ? headUnixMs_ : -1; }
  // Records dropped for the bound since Open (also by Open itself, when
  // the bound was made smaller).
  uint64_t Dropped() const { return dropped_; }
  // Records lost to damage on the disk found since Open: Peek checks every
  // record again and skips the rest of a file whose record fails; the next
  // Consume or Append takes them off Depth. (What Open finds is in its note,
  // in bytes: a damaged file has no count to trust.)
  uint64_t Damaged() const { return damaged_; }
  uint64_t Bytes() const { return totalBytes_; }

 private:
  struct Segment {
    uint64_t number = 0;
    uint64_t bytes = 0;  // header and whole records
    uint64_t records = 0;
    int64_t firstUnixMs = 0;
  };
  // Where a record of a Peek ends: the buffer's state once it is consumed.
  struct PeekEnd {
    uint64_t segment = 0, offset = 0, recordsBefore = 0;
    int64_t nextUnixMs = -1;  // -1: not read yet
  };

  std::string SegmentPath(uint64_t number) const;
  std::string PositionPath() const { return dir_ + "/position"; }
  // Reading what a previous run left (change_buffer_open.cpp).
  bool LockFolder(const std::string& dir, std::string* error);
  bool LoadSegment(uint64_t number, std::vector<std::string>* notes, std::string* error);
  void LoadPosition(std::vector<std::string>* notes);
  void FitBound(std::vector<std::string>* notes);

  void SavePosition();
  bool StartSegment(size_t framed);
  void CloseWriteSegment();
  void DropOldest();
  void RemoveFront();
  void SettleHead();
  void ApplyDamage();
  std::vector<BufferedRecord> Walk(size_t max, bool copy, std::vector<PeekEnd>* ends) const;
  void MoveHead(const PeekEnd& end);

  std::string dir_;
  int dirFd_ = -1;
  int writeFd_ = -1;  // the newest segment, while it has room
  int positionFd_ = -1;
  uint64_t maxBytes_ = 0, segmentLimit_ = 0, nextNumber_ = 1;
  std::deque<Segment> segments_;  // oldest first
  // The oldest record not yet consumed: in segments_.front() at this offset.
  uint64_t headOffset_ = 0, headRecords_ = 0;
  int64_t headUnixMs_ = -1;
  uint64_t depth_ = 0, totalBytes_ = 0, dropped_ = 0, damaged_ = 0;
  std::vector<uint64_t> unsynced_;  // segments written and closed since the last Sync
  bool writeDirty_ = false, folderDirty_ = false, positionDirty_ = false;
  std::string frame_;
  mutable std::vector<PeekEnd> peekEnds_;
  // Damage Peek found after Open: the segment, where its good records end,
  // and how many there are.
  mutable bool damageFound_ = false;
  mutable PeekEnd damage_;
};

}  // namespace qvgateway
