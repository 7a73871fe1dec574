// The store-and-forward file across restarts it did not choose: a process
// killed while it appends, a replay position that cannot be trusted, files
// of another kind or a newer version, and damage found while running.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/buffer_folder.h"
#include "tools/qvgateway/sparkplug/change_buffer.h"
#include "tools/qvgateway/sparkplug/change_record.h"

namespace qvgateway {
namespace {

using qvtest::AppendChanges;
using qvtest::BufferFolder;
using qvtest::ChangeBytes;
using qvtest::ChangeTime;
using qvtest::FlipByte;
using qvtest::PlaceOf;
using qvtest::PeeksChanges;
namespace fs = std::filesystem;

// Ends the child by its PID whatever the test does.
struct Child {
  pid_t pid = -1;
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

TEST(GatewayChangeBufferRestart, AKilledWriterLosesNothingItHadWritten) {
  BufferFolder folder;
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  Child child;
  child.pid = fork();
  ASSERT_GE(child.pid, 0);
  if (child.pid == 0) {
    close(report[0]);
    ChangeBuffer buffer;
    std::string error;
    if (!buffer.Open(folder.path(), 1 << 20, &error)) _exit(2);
    // Each change is reported once Append returned: the parent may kill at
    // any point after, also in the middle of the next Append.
    for (uint64_t i = 0;; ++i) {
      if (!buffer.Append(ChangeTime(i), ChangeBytes(i))) _exit(3);
      if (write(report[1], &i, sizeof i) != sizeof i) _exit(4);
    }
  }
  close(report[1]);
  // Past the first file into the next, so the kill also finds more than one.
  uint64_t acknowledged = 0;
  for (;;) {
    ASSERT_EQ(read(report[0], &acknowledged, sizeof acknowledged), static_cast<ssize_t>(sizeof acknowledged))
        << "the writer stopped early";
    if (acknowledged >= 3000) break;
  }
  kill(child.pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child.pid, &status, 0), child.pid);
  child.pid = -1;
  // Changes written after the last one read stay in the pipe: count them.
  uint64_t reported = acknowledged;
  while (read(report[0], &reported, sizeof reported) == static_cast<ssize_t>(sizeof reported)) acknowledged = reported;
  close(report[0]);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the writer ended by itself: " << status;

  ChangeBuffer buffer;
  std::string error, note;
  ASSERT_TRUE(buffer.Open(folder.path(), 1 << 20, &error, &note)) << error;
  EXPECT_GT(folder.Segments().size(), 1u);
  // Everything reported is there, and at most the one change the kill
  // interrupted beyond it; a torn one was dropped and said so.
  ASSERT_GE(buffer.Depth(), acknowledged + 1);
  ASSERT_LE(buffer.Depth(), acknowledged + 2);
  EXPECT_TRUE(note.empty() || note.find("cut short by a stop") != std::string::npos) << note;
  EXPECT_TRUE(PeeksChanges(buffer, 0, buffer.Depth()));
}

TEST(GatewayChangeBufferRestart, AReplayPositionThatCannotBeTrustedResendsRatherThanLoses) {
  struct Case {
    const char* name;
    std::string position;  // the file's bytes; the first file is number 1
    uint64_t firstHeld;    // the first change held after Open
    bool noted;
  };
  // Changes 0..9 in file 1: change 3 starts at the header and 0..2's sizes.
  uint64_t third = kSegmentHeaderBytes;
  for (uint64_t i = 0; i < 3; ++i) third += kRecordOverheadBytes + ChangeBytes(i).size();
  const Case cases[] = {
      {"a good position", EncodePosition(1, third), 3, false},
      {"the start of the file", EncodePosition(1, kSegmentHeaderBytes), 0, false},
      {"the end of the file, all sent", EncodePosition(1, 1 << 30), 10, false},
      {"a file already removed", EncodePosition(0, 100), 0, false},
      {"not on a change", EncodePosition(1, third + 1), 0, true},
      {"inside the header", EncodePosition(1, 3), 0, true},
      {"its check fails", EncodePosition(1, third).replace(6, 1, "x"), 0, true},
      {"torn", EncodePosition(1, third).substr(0, 10), 0, true},
      {"longer than a position", EncodePosition(1, third) + "more", 0, true},
      {"empty", "", 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BufferFolder folder;
    {
      ChangeBuffer buffer;
      std::string error;
      ASSERT_TRUE(buffer.Open(folder.path(), 1 << 20, &error)) << error;
      ASSERT_TRUE(AppendChanges(&buffer, 0, 10));
    }
    ASSERT_EQ(folder.Segments().size(), 1u);
    ASSERT_NE(folder.Segments()[0].find("changes-000001.buf"), std::string::npos);
    std::ofstream(folder / "position", std::ios::binary) << c.position;
    ChangeBuffer buffer;
    std::string error, note;
    ASSERT_TRUE(buffer.Open(folder.path(), 1 << 20, &error, &note)) << error;
    EXPECT_EQ(buffer.Depth(), 10 - c.firstHeld);
    EXPECT_TRUE(PeeksChanges(buffer, c.firstHeld, buffer.Depth()));
    EXPECT_EQ(!note.empty(), c.noted) << note;
    if (c.noted) {
      EXPECT_NE(note.find("some may be sent twice"), std::string::npos) << note;
    }
    // The replay moves the position on, and a restart finds it.
    buffer.Peek(1);
    buffer.Consume(1);
    buffer.Close();
    ASSERT_TRUE(buffer.Open(folder.path(), 1 << 20, &error, &note)) << error;
    EXPECT_EQ(note, "");
    EXPECT_EQ(buffer.Depth(), c.firstHeld < 10 ? 9 - c.firstHeld : 0);
  }
}

TEST(GatewayChangeBufferRestart, FilesOfAnotherKindOrANewerVersion) {
  struct Case {
    const char* name;
    std::string header;
    bool opens;
    const char* says;  // in the note, or the error when it does not open
  };
  const std::string good = SegmentHeader();
  std::string newer = good;
  newer[4] = static_cast<char>(kSegmentVersion + 1);
  std::string older = good;
  older[4] = 0;
  const Case cases[] = {
      {"a newer version", newer, false, "was written by a newer version of the gateway"},
      {"not ours", "PK\x03\x04zzzz", true, "does not begin as a file of buffered changes"},
      {"an unknown older version", older, true, "does not begin as a file of buffered changes"},
      {"a header cut short", good.substr(0, 5), true, "was cut short while it was started (5 bytes): removed."},
      {"empty", "", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BufferFolder folder;
    {
      ChangeBuffer buffer;
      std::string error;
      ASSERT_TRUE(buffer.Open(folder.path(), 1 << 20, &error)) << error;
      ASSERT_TRUE(AppendChanges(&buffer, 0, 4));
    }
    std::string strange = c.header;
    if (strange.size() >= kSegmentHeaderBytes) FrameRecord(ChangeTime(4), ChangeBytes(4), &strange);
    std::ofstream(folder / "changes-000002.buf", std::ios::binary) << strange;
    ChangeBuffer buffer;
    std::string error, note;
    ASSERT_EQ(buffer.Open(folder.path(), 1 << 20, &error, &note), c.opens) << error;
    if (!c.opens) {
      EXPECT_NE(error.find(c.says), std::string::npos) << error;
      EXPECT_TRUE(fs::exists(folder / "changes-000002.buf")) << "what it cannot read is left for the newer version";
      continue;
    }
    EXPECT_NE(note.find(c.says), std::string::npos) << note;
    EXPECT_FALSE(fs::exists(folder / "changes-000002.buf"));
    EXPECT_TRUE(PeeksChanges(buffer, 0, 4));
    ASSERT_TRUE(AppendChanges(&buffer, 4, 1));
    EXPECT_TRUE(PeeksChanges(buffer, 0, 5));
  }
}

TEST(GatewayChangeBufferRestart, DamageFoundWhileRunningIsSkippedNeverSent) {
  struct Case {
    const char* name;
    uint64_t maxBytes, changes, flipped;
    bool liveChange;   // appended after the Peek that found the damage
    size_t consumed;   // then consumed, of what was peeked
  };
  const Case cases[] = {
      {"in an older file, the replay passes it", 8192, 60, 5, false, 6},
      {"in an older file, the replay stops before it", 8192, 60, 5, false, 5},
      {"in an older file, a live change comes", 8192, 60, 5, true, 5},
      {"in the file being written, a live change comes", 1 << 20, 10, 7, true, 7},
      {"in the file being written, the replay stops before it", 1 << 20, 10, 7, false, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BufferFolder folder;
    ChangeBuffer buffer;
    std::string error, note;
    ASSERT_TRUE(buffer.Open(folder.path(), c.maxBytes, &error)) << error;
    ASSERT_TRUE(AppendChanges(&buffer, 0, c.changes));
    const qvtest::Place place = PlaceOf(folder, 0, c.flipped);
    uint64_t firstAfter = c.flipped + 1;  // the first change of the next file, if any
    while (firstAfter < c.changes && PlaceOf(folder, 0, firstAfter).segment == place.segment) ++firstAfter;
    FlipByte(folder.Segments()[place.segment], place.offset + 13, '\x04');
    // The changes before the damage, then the next file's.
    std::vector<uint64_t> expected;
    for (uint64_t i = 0; i < c.changes; ++i) {
      if (i < c.flipped || i >= firstAfter) expected.push_back(i);
    }
    const std::vector<BufferedRecord> peeked = buffer.Peek(100);
    ASSERT_EQ(peeked.size(), expected.size());
    for (size_t k = 0; k < peeked.size(); ++k) ASSERT_EQ(peeked[k].bytes, ChangeBytes(expected[k])) << k;
    // A live change goes after the good ones, never after the damage.
    if (c.liveChange) {
      ASSERT_TRUE(AppendChanges(&buffer, 100, 1));
      expected.push_back(100);
    }
    buffer.Consume(c.consumed);
    expected.erase(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(c.consumed));
    EXPECT_EQ(buffer.Damaged(), firstAfter - c.flipped);
    EXPECT_EQ(buffer.Depth(), expected.size());
    buffer.Close();
    ASSERT_TRUE(buffer.Open(folder.path(), c.maxBytes, &error, &note)) << error;
    EXPECT_EQ(note, "");
    const std::vector<BufferedRecord> left = buffer.Peek(100);
    ASSERT_EQ(left.size(), expected.size());
    for (size_t k = 0; k < left.size(); ++k) EXPECT_EQ(left[k].bytes, ChangeBytes(expected[k])) << k;
  }
}

}  // namespace
}  // namespace qvgateway
