// The store-and-forward file after a hard stop or a damaged disk: a torn
// last record of every length, a flipped byte anywhere in a record, damage
// found while running, a replay position that cannot be trusted, files of
// another kind or version, and a process killed while it appends. A change
// is returned whole and right or not at all.
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
using qvtest::FlipByte;
using qvtest::Framed;
using qvtest::Place;
using qvtest::PlaceOf;
using qvtest::PeeksChanges;
namespace fs = std::filesystem;

// A folder written by a run that stopped cleanly.
void WriteChanges(const BufferFolder& folder, uint64_t maxBytes, uint64_t count) {
  ChangeBuffer buffer;
  std::string error;
  ASSERT_TRUE(buffer.Open(folder.path(), maxBytes, &error)) << error;
  ASSERT_TRUE(AppendChanges(&buffer, 0, count));
}

void CopyFolder(const BufferFolder& from, const BufferFolder& to) {
  for (const auto& entry : fs::directory_iterator(from.path())) {
    fs::copy_file(entry.path(), to / entry.path().filename().string(), fs::copy_options::overwrite_existing);
  }
}

TEST(GatewayChangeBufferDamage, ATornTailOfEveryLengthIsDroppedNeverMisread) {
  struct Case {
    const char* name;
    uint64_t maxBytes, changes;
    bool lastAlone;  // the torn change is the only one in its file
  };
  const Case cases[] = {
      {"one file", 1 << 20, 6, false},
      {"the last of three files, holding one change", 4096, 21, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BufferFolder whole;
    WriteChanges(whole, c.maxBytes, c.changes);
    const uint64_t last = c.changes - 1;
    const Place place = PlaceOf(whole, 0, last);
    const std::string lastFile = fs::path(whole.Segments().back()).filename();
    ASSERT_EQ(fs::file_size(whole / lastFile), place.offset + Framed(last));
    ASSERT_EQ(place.offset == kSegmentHeaderBytes, c.lastAlone);
    // Into the file's header too, when the torn change was its only one.
    const uint64_t deepest = place.offset == kSegmentHeaderBytes ? Framed(last) + kSegmentHeaderBytes : Framed(last);
    for (uint64_t cut = 1; cut <= deepest; ++cut) {
      SCOPED_TRACE("cut " + std::to_string(cut));
      BufferFolder torn;
      CopyFolder(whole, torn);
      fs::resize_file(torn / lastFile, fs::file_size(torn / lastFile) - cut);
      ChangeBuffer buffer;
      std::string error, note;
      ASSERT_TRUE(buffer.Open(torn.path(), c.maxBytes, &error, &note)) << error;
      ASSERT_EQ(buffer.Depth(), last);
      ASSERT_TRUE(PeeksChanges(buffer, 0, last));
      const bool onABoundary = cut == Framed(last) || cut == Framed(last) + kSegmentHeaderBytes;
      EXPECT_EQ(note.empty(), onABoundary) << note;
      if (cut < Framed(last)) {
        EXPECT_NE(note.find(lastFile + " ended in a change cut short by a stop: its last " +
                            std::to_string(Framed(last) - cut) + " bytes were dropped"),
                  std::string::npos)
            << note;
      }
      // The next run goes on after the good changes.
      ASSERT_TRUE(AppendChanges(&buffer, last, 1));
      buffer.Close();
      ASSERT_TRUE(buffer.Open(torn.path(), c.maxBytes, &error, &note)) << error;
      EXPECT_EQ(note, "");
      EXPECT_TRUE(PeeksChanges(buffer, 0, c.changes));
    }
  }
}

TEST(GatewayChangeBufferDamage, AFlippedByteInTheLastChangeDropsItOnly) {
  BufferFolder whole;
  WriteChanges(whole, 1 << 20, 5);
  const Place place = PlaceOf(whole, 0, 4);
  for (uint64_t at = 0; at < Framed(4); ++at) {
    for (char mask : {'\x01', '\x80', '\xff'}) {
      SCOPED_TRACE("byte " + std::to_string(at) + " mask " + std::to_string(mask & 0xff));
      BufferFolder damaged;
      CopyFolder(whole, damaged);
      FlipByte(damaged.Segments()[0], place.offset + at, mask);
      ChangeBuffer buffer;
      std::string error, note;
      ASSERT_TRUE(buffer.Open(damaged.path(), 1 << 20, &error, &note)) << error;
      ASSERT_EQ(buffer.Depth(), 4u);
      ASSERT_TRUE(PeeksChanges(buffer, 0, 4));
      EXPECT_NE(note, "");
    }
  }
}

TEST(GatewayChangeBufferDamage, DamageInAnOlderFileEndsThatFileOnly) {
  struct Case {
    const char* name;
    uint64_t change;  // whose byte is flipped
    uint64_t at;      // which byte of it
  };
  const Case cases[] = {
      {"its length", 20, 0}, {"its length, beyond any change", 20, 3}, {"its time", 20, 6}, {"its bytes", 20, 14}, {"its check", 20, 17},
      {"the first of its file", 0, 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BufferFolder folder;
    WriteChanges(folder, 8192, 60);
    const Place place = PlaceOf(folder, 0, c.change);
    ASSERT_LT(place.segment + 1, folder.Segments().size());
    uint64_t firstAfter = c.change + 1;  // the first change of the next file
    while (PlaceOf(folder, 0, firstAfter).segment == place.segment) ++firstAfter;
    const std::string file = folder.Segments()[place.segment];
    FlipByte(file, place.offset + c.at, '\x10');
    ChangeBuffer buffer;
    std::string error, note;
    ASSERT_TRUE(buffer.Open(folder.path(), 8192, &error, &note)) << error;
    if (place.offset == kSegmentHeaderBytes) {
      EXPECT_FALSE(fs::exists(file)) << "a file left with no change is removed";
    } else {
      EXPECT_EQ(fs::file_size(file), place.offset);
    }
    ASSERT_EQ(buffer.Depth(), c.change + (60 - firstAfter));
    EXPECT_TRUE(PeeksChanges(buffer, 0, c.change));
    const std::vector<BufferedRecord> all = buffer.Peek(100);
    ASSERT_EQ(all.size(), buffer.Depth());
    for (size_t k = c.change; k < all.size(); ++k) {
      ASSERT_EQ(all[k].bytes, ChangeBytes(firstAfter + k - c.change)) << k;
    }
    EXPECT_NE(note.find("holds a damaged change at byte " + std::to_string(place.offset)), std::string::npos)
        << note;
  }
}

}  // namespace
}  // namespace qvgateway
