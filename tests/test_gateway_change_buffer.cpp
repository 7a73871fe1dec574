// The store-and-forward file as its owner uses it: order kept across Peek,
// Consume and restarts, a replay never sent twice after a restart, the
// bound dropping the oldest and counting them, Clear, the bdSeq counter,
// and folders it cannot use.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/buffer_folder.h"
#include "tools/qvgateway/sparkplug/change_buffer.h"

namespace qvgateway {
namespace {

using qvtest::AppendChanges;
using qvtest::BufferFolder;
using qvtest::ChangeTime;
using qvtest::PeeksChanges;

constexpr uint64_t kRoomy = 64 << 20;

TEST(GatewayChangeBuffer, OrderIsKeptAcrossConsumeAndRestarts) {
  struct Case {
    const char* name;
    uint64_t maxBytes;  // small bounds make many segment files
    uint64_t changes;
    std::vector<size_t> batches;  // peeked and consumed in turn
    bool reopenEachBatch;
  };
  const Case cases[] = {
      {"one file, one batch", kRoomy, 10, {10}, false},
      {"one file, batches", kRoomy, 10, {3, 3, 3, 1}, false},
      {"one file, restarts between batches", kRoomy, 10, {4, 1, 5}, true},
      {"many files, batches across them", 8192, 80, {7, 30, 1, 42}, false},
      {"many files, restarts between batches", 8192, 80, {7, 30, 1, 42}, true},
      {"a batch larger than what is held", 8192, 20, {5, 100}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BufferFolder folder;
    ChangeBuffer buffer;
    std::string error, note;
    ASSERT_TRUE(buffer.Open(folder.path(), c.maxBytes, &error, &note)) << error;
    EXPECT_EQ(buffer.OldestUnixMs(), -1);
    ASSERT_TRUE(AppendChanges(&buffer, 0, c.changes));
    EXPECT_EQ(buffer.Dropped(), 0u);
    uint64_t next = 0;
    for (size_t batch : c.batches) {
      const size_t expected = std::min<size_t>(batch, c.changes - next);
      ASSERT_TRUE(PeeksChanges(buffer, next, expected)) << "from change " << next;
      buffer.Consume(expected);
      next += expected;
      EXPECT_EQ(buffer.Depth(), c.changes - next);
      EXPECT_EQ(buffer.OldestUnixMs(), next < c.changes ? ChangeTime(next) : -1);
      if (c.reopenEachBatch) {
        buffer.Close();
        ASSERT_TRUE(buffer.Open(folder.path(), c.maxBytes, &error, &note)) << error;
        EXPECT_EQ(note, "");
        ASSERT_EQ(buffer.Depth(), c.changes - next) << "a restart brought back changes already consumed";
        EXPECT_EQ(buffer.OldestUnixMs(), next < c.changes ? ChangeTime(next) : -1);
      }
    }
    // What comes after a replay keeps its place too.
    ASSERT_TRUE(AppendChanges(&buffer, c.changes, 3));
    EXPECT_TRUE(PeeksChanges(buffer, c.changes, 3));
    // Replayed files are removed as the replay passes them.
    EXPECT_LE(folder.Segments().size(), 2u);
  }
}

TEST(GatewayChangeBuffer, TheBoundDropsTheOldestAndCountsThem) {
  struct Case {
    const char* name;
    uint64_t maxBytes;
    uint64_t changes;
    uint64_t consumedFirst;  // consumed before the bound is reached
  };
  const Case cases[] = {
      {"well within", 64 << 10, 100, 0},
      {"a few files over", 4096, 400, 0},
      {"far over", 2048, 1500, 0},
      {"over, with part of the oldest file consumed", 4096, 400, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BufferFolder folder;
    ChangeBuffer buffer;
    std::string error;
    ASSERT_TRUE(buffer.Open(folder.path(), c.maxBytes, &error)) << error;
    ASSERT_TRUE(AppendChanges(&buffer, 0, 10));
    buffer.Peek(c.consumedFirst);
    buffer.Consume(c.consumedFirst);
    ASSERT_TRUE(AppendChanges(&buffer, 10, c.changes - 10));
    const uint64_t held = buffer.Depth();
    EXPECT_EQ(buffer.Dropped() + held + c.consumedFirst, c.changes) << "every change is held, consumed or dropped";
    EXPECT_LE(buffer.Bytes(), c.maxBytes);
    uint64_t onDisk = 0;
    for (const std::string& segment : folder.Segments()) onDisk += std::filesystem::file_size(segment);
    EXPECT_EQ(onDisk, buffer.Bytes());
    // What is held is the newest, in order, and a restart agrees.
    EXPECT_TRUE(PeeksChanges(buffer, c.changes - held, held));
    EXPECT_EQ(buffer.OldestUnixMs(), ChangeTime(c.changes - held));
    buffer.Close();
    ASSERT_TRUE(buffer.Open(folder.path(), c.maxBytes, &error)) << error;
    EXPECT_EQ(buffer.Depth(), held);
    EXPECT_EQ(buffer.OldestUnixMs(), ChangeTime(c.changes - held));
    EXPECT_TRUE(PeeksChanges(buffer, c.changes - held, held));
  }
}

TEST(GatewayChangeBuffer, ASmallerBoundAtOpenDropsTheOldest) {
  BufferFolder folder;
  ChangeBuffer buffer;
  std::string error, note;
  ASSERT_TRUE(buffer.Open(folder.path(), 64 << 10, &error)) << error;
  ASSERT_TRUE(AppendChanges(&buffer, 0, 500));
  buffer.Close();
  ASSERT_TRUE(buffer.Open(folder.path(), 4096, &error, &note)) << error;
  EXPECT_LE(buffer.Bytes(), 4096u);
  EXPECT_EQ(buffer.Dropped() + buffer.Depth(), 500u);
  EXPECT_NE(note.find(std::to_string(buffer.Dropped()) + " buffered changes, the oldest, were dropped"),
            std::string::npos)
      << note;
  EXPECT_TRUE(PeeksChanges(buffer, 500 - buffer.Depth(), buffer.Depth()));
}

TEST(GatewayChangeBuffer, AConsumeAfterTheBoundDroppedPeekedChangesRemovesNoOthers) {
  struct Case {
    const char* name;
    size_t peeked;
    uint64_t liveChanges;  // appended while the peeked ones are sent
    int peekedDropped;     // 0: none, 1: some, 2: all
  };
  const Case cases[] = {
      {"none dropped", 8, 2, 0},
      {"the oldest file of those peeked dropped", 8, 32, 1},
      {"all those peeked dropped", 5, 60, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BufferFolder folder;
    ChangeBuffer buffer;
    std::string error;
    ASSERT_TRUE(buffer.Open(folder.path(), 2048, &error)) << error;
    ASSERT_TRUE(AppendChanges(&buffer, 0, 10));
    ASSERT_TRUE(PeeksChanges(buffer, 0, c.peeked));
    ASSERT_TRUE(AppendChanges(&buffer, 10, c.liveChanges));
    const uint64_t total = 10 + c.liveChanges;
    const uint64_t oldest = total - buffer.Depth();
    ASSERT_EQ((oldest > 0) + (oldest >= c.peeked), c.peekedDropped) << "oldest held: " << oldest;
    buffer.Consume(c.peeked);
    const uint64_t first = std::max<uint64_t>(oldest, c.peeked);
    EXPECT_EQ(buffer.Depth(), total - first);
    EXPECT_TRUE(PeeksChanges(buffer, first, buffer.Depth()));
  }
}

TEST(GatewayChangeBuffer, ClearRemovesTheFilesAndKeepsTheCounter) {
  BufferFolder folder;
  ChangeBuffer buffer;
  std::string error;
  ASSERT_TRUE(WriteCounter(folder / "bdseq", 7, &error)) << error;
  ASSERT_TRUE(buffer.Open(folder.path(), 4096, &error)) << error;
  ASSERT_TRUE(AppendChanges(&buffer, 0, 100));
  buffer.Peek(3);
  buffer.Consume(3);
  ASSERT_GT(folder.Segments().size(), 1u);
  buffer.Clear();
  EXPECT_EQ(buffer.Depth(), 0u);
  EXPECT_EQ(buffer.Bytes(), 0u);
  EXPECT_EQ(buffer.OldestUnixMs(), -1);
  EXPECT_EQ(folder.Names(), std::vector<std::string>{"bdseq"});
  ASSERT_TRUE(AppendChanges(&buffer, 100, 4));
  buffer.Close();
  ASSERT_TRUE(buffer.Open(folder.path(), 4096, &error)) << error;
  EXPECT_EQ(buffer.Depth(), 4u);
  EXPECT_TRUE(PeeksChanges(buffer, 100, 4));
  int64_t counter = 0;
  EXPECT_TRUE(ReadCounter(folder / "bdseq", &counter));
  EXPECT_EQ(counter, 7);
}

TEST(GatewayChangeBuffer, AFailedWriteLeavesTheFileAsItWas) {
  BufferFolder folder;
  ChangeBuffer buffer;
  std::string error;
  ASSERT_TRUE(buffer.Open(folder.path(), kRoomy, &error)) << error;
  ASSERT_TRUE(AppendChanges(&buffer, 0, 3));
  const uint64_t size = std::filesystem::file_size(folder.Segments()[0]);
  // A file size limit makes the disk "full" halfway through the next record.
  struct rlimit before;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
  const sighandler_t handler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit full = before;
  full.rlim_cur = size + 20;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
  const bool written = buffer.Append(ChangeTime(3), std::string(100, 'x'));
  setrlimit(RLIMIT_FSIZE, &before);
  signal(SIGXFSZ, handler);
  EXPECT_FALSE(written);
  EXPECT_EQ(buffer.Depth(), 3u);
  EXPECT_EQ(std::filesystem::file_size(folder.Segments()[0]), size);
  ASSERT_TRUE(AppendChanges(&buffer, 3, 2));
  buffer.Close();
  ASSERT_TRUE(buffer.Open(folder.path(), kRoomy, &error)) << error;
  EXPECT_TRUE(PeeksChanges(buffer, 0, 5));
}

TEST(GatewayChangeBuffer, AFolderItCannotUseIsRefusedSayingWhy) {
  BufferFolder folder;
  std::ofstream(folder / "plain-file") << "x";
  struct Case {
    const char* name;
    std::string dir;
    const char* says;
  };
  std::vector<Case> cases = {
      {"a file, not a folder", folder / "plain-file", "cannot open the store-and-forward folder"},
      {"under a file", folder / "plain-file/changes", "cannot create the store-and-forward folder"},
      {"no folder named", "", "no store-and-forward folder was given"},
  };
  // Root writes anywhere: a folder without write permission stops only
  // other users.
  if (geteuid() != 0) {
    std::filesystem::create_directory(folder / "read-only");
    std::filesystem::permissions(folder / "read-only", std::filesystem::perms::owner_read |
                                                           std::filesystem::perms::owner_exec);
    cases.push_back({"no write permission", folder / "read-only", "cannot write in the store-and-forward folder"});
  }
  for (const Case& c : cases) {
    ChangeBuffer buffer;
    std::string error;
    EXPECT_FALSE(buffer.Open(c.dir, kRoomy, &error)) << c.name;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
    EXPECT_NE(error.find(c.dir), std::string::npos) << c.name << ": " << error;
    EXPECT_FALSE(buffer.Append(0, "x")) << c.name;
  }
}

TEST(GatewayChangeBuffer, OneFolderServesOneBufferAtATime) {
  BufferFolder folder;
  ChangeBuffer first, second;
  std::string error;
  ASSERT_TRUE(first.Open(folder / "nested/deeper/", kRoomy, &error)) << error;
  EXPECT_FALSE(second.Open(folder / "nested/deeper", kRoomy, &error));
  EXPECT_NE(error.find("is in use by another process"), std::string::npos) << error;
  first.Close();
  EXPECT_TRUE(second.Open(folder / "nested/deeper", kRoomy, &error)) << error;
  EXPECT_FALSE(first.Open(folder.path(), 100, &error)) << "a bound too small for a record";
  EXPECT_NE(error.find("too small"), std::string::npos) << error;
}

TEST(GatewayChangeCounter, ReadsBackWhatWasWrittenAndNothingElse) {
  BufferFolder folder;
  const std::string path = folder / "bdseq";
  int64_t value = 99;
  EXPECT_FALSE(ReadCounter(path, &value)) << "absent";
  for (int64_t written : {int64_t{0}, int64_t{1}, int64_t{255}, int64_t{-1}, INT64_MAX, INT64_MIN}) {
    std::string error;
    ASSERT_TRUE(WriteCounter(path, written, &error)) << error;
    ASSERT_TRUE(ReadCounter(path, &value)) << written;
    EXPECT_EQ(value, written);
  }
  const char* unreadable[] = {"", "\n", "12", "-\n", "1x\n", " 1\n", "1 \n", "+1\n", "12\n3\n",
                              "9223372036854775808\n", "-9223372036854775809\n", "99999999999999999999\n"};
  for (const char* text : unreadable) {
    std::ofstream(path, std::ios::trunc) << text;
    value = 42;
    EXPECT_FALSE(ReadCounter(path, &value)) << '"' << text << '"';
    EXPECT_EQ(value, 42) << '"' << text << '"';
  }
}

TEST(GatewayChangeCounter, ATornTemporaryFileLeftBehindChangesNothing) {
  BufferFolder folder;
  const std::string path = folder / "bdseq";
  std::string error;
  ASSERT_TRUE(WriteCounter(path, 41, &error)) << error;
  // A stop in the middle of the next write leaves its temporary file.
  std::ofstream(path + ".tmp") << "4";
  int64_t value = 0;
  ASSERT_TRUE(ReadCounter(path, &value));
  EXPECT_EQ(value, 41);
  ASSERT_TRUE(WriteCounter(path, 42, &error)) << error;
  ASSERT_TRUE(ReadCounter(path, &value));
  EXPECT_EQ(value, 42);
  EXPECT_EQ(folder.Names(), std::vector<std::string>{"bdseq"});
  EXPECT_FALSE(WriteCounter(folder / "missing/bdseq", 1, &error));
  EXPECT_NE(error.find("cannot write " + folder.path() + "/missing/bdseq.tmp"), std::string::npos) << error;
}

}  // namespace
}  // namespace qvgateway
