// Wall-clock time past 2038-01-19, when a 32-bit time ends: the item stamp
// a good read writes into the host's records and the time text of the
// trace's lines, for instants in 2038, 2040 and 2100. And a trace file
// that crosses 2 GiB: it rotates at its limit and keeps every line (a file
// offset of 32 bits ends there).
#include <gtest/gtest.h>

#include <stdio.h>

#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/trace_sink.h"
#include "tests/support/driver_handle.h"
#include "tests/support/fake_line.h"
#include "tests/support/temp_path.h"
#include "tests/support/wall_time.h"

namespace qvtest {
namespace {

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The instant a trace line's time text names, read back through the
// offset it shows: the same instant whatever the machine's time zone.
uint64_t InstantOfStamp(const std::string& line) {
  int year, month, day, hour, minute, second, millisecond, offsetHours, offsetMinutes;
  char sign;
  if (sscanf(line.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c%2d:%2d", &year, &month, &day, &hour, &minute, &second,
             &millisecond, &sign, &offsetHours, &offsetMinutes) != 10) {
    return 0;
  }
  const int64_t offset = (sign == '-' ? -1 : 1) * (offsetHours * 60 + offsetMinutes);
  return FileTimeOf(year, month, day, hour, minute - offset, second, millisecond);
}

class WallTime : public ::testing::TestWithParam<Instant> {
 protected:
  void SetUp() override { line.clock.fileTime = GetParam().fileTime; }
  void TearDown() override { remove(trace.c_str()); }

  // A good read of D100..D101, traced to a file of its own.
  void TracedRead(HostBlock& read) {
    line.settings.values["Trace"] = trace;
    DriverHandle driver;
    EXPECT_EQ(driver.SetPortHandle(7), 1);
    line.port.replies.push_back("\x06" "010" "12345678" "7F\r");
    EXPECT_EQ(driver.ExecuteBlock(read), 1);
  }
  HostBlock read{1, 0, 8, 100, 101, 0, {100, 101}};

  FakeLine line;
  std::string trace = UniqueTempPath("qv-walltime-");
};

TEST_P(WallTime, ItemsAreStampedWithTheInstant) {
  TracedRead(read);
  for (size_t i = 0; i < read.items.size(); ++i) {
    EXPECT_EQ(read.items[i].Get16(item::kQuality), 192) << i;
    EXPECT_EQ(read.items[i].Get64(item::kTimestamp), GetParam().fileTime) << GetParam().what << ", item " << i;
  }
}

TEST_P(WallTime, TraceLinesShowTheInstant) {
#ifndef _WIN32
  ScopedTimeZone zone(GetParam().zone);
#endif
  TracedRead(read);
  const std::vector<std::string> lines = Lines(trace);
  ASSERT_GE(lines.size(), 3u) << "created, lend, request, reply";
  for (const std::string& l : lines) {
    EXPECT_EQ(InstantOfStamp(l), GetParam().fileTime) << GetParam().what << ": " << l;
#ifndef _WIN32
    EXPECT_EQ(l.substr(0, l.find(' ')), GetParam().local) << GetParam().what << " in " << GetParam().zone;
#endif
  }
}

INSTANTIATE_TEST_SUITE_P(Past2038, WallTime, ::testing::ValuesIn(kInstantsPast2038),
                         [](const ::testing::TestParamInfo<Instant>& info) { return std::string(info.param.name); });

#ifndef _WIN32
// A trace already a few lines short of 2 GiB (a sparse file: no disk is
// used) with a limit a little past 2 GiB: the lines that cross 2 GiB are
// appended, the file is renamed with ".1" at the limit, and no line is
// lost, cut or doubled.
TEST(TraceFile, CrossingTwoGiBItRotatesAtItsLimitAndKeepsEveryLine) {
  constexpr uint64_t kTwoGiB = 1ull << 31;
  constexpr uint64_t kStart = kTwoGiB - 2000;
  constexpr uint64_t kLimit = kTwoGiB + 3000;
  constexpr int kLines = 100;  // about 9,000 bytes: past 2 GiB, past the limit, into a new file
  const std::string path = UniqueTempPath("qv-bigtrace-");
  const std::string old = path + ".1";
  {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kStart)), 0) << "a sparse file of " << kStart << " bytes";
    close(fd);
  }
  FakeClock clock;
  clock.fileTime = FileTimeOf(2040, 7, 1, 12, 0, 0, 0);
  quorvalend::TraceSink* sink = quorvalend::OpenTraceSink(path.c_str(), kLimit);
  ASSERT_NE(sink, nullptr) << "a trace file of " << kStart << " bytes is usable";
  std::vector<std::string> written;
  for (int i = 0; i < kLines; ++i) {
    char text[96];
    snprintf(text, sizeof text, "COM1 station 1 line %03d of a trace that grows past two GiB", i);
    written.push_back(text);
    sink->WriteLine(clock.fileTime, text, written.back().size());
  }
  delete sink;

  struct stat rotated {}, fresh {};
  ASSERT_EQ(stat(old.c_str(), &rotated), 0) << "no .1 file: the trace never rotated";
  ASSERT_EQ(stat(path.c_str(), &fresh), 0);
  EXPECT_GT(static_cast<uint64_t>(rotated.st_size), kTwoGiB) << "lines were appended past 2 GiB";
  EXPECT_LE(static_cast<uint64_t>(rotated.st_size), kLimit);
  EXPECT_GT(fresh.st_size, 0);
  EXPECT_LT(fresh.st_size, 8000);

  // The lines after the sparse start of the old file, then the new file.
  std::vector<std::string> found;
  {
    std::ifstream in(old, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(kStart));
    for (std::string l; std::getline(in, l);) found.push_back(l);
  }
  for (const std::string& l : Lines(path)) found.push_back(l);
  ASSERT_EQ(found.size(), written.size());
  for (size_t i = 0; i < written.size(); ++i) {
    EXPECT_EQ(found[i].substr(found[i].find(' ') + 1), written[i]) << "line " << i;
  }
  remove(path.c_str());
  remove(old.c_str());
}
#endif

}  // namespace
}  // namespace qvtest
