// qvpoll's times past 2038-01-19, when a 32-bit time ends: the driver's
// item stamp and qvpoll's own wall clock (a failed row's time) shown in
// ISO 8601, local with the offset and in UTC, for instants in 2038, 2040
// and 2100.
#include <gtest/gtest.h>

#include <time.h>

#include "tests/support/wall_time.h"
#include "tools/host/timestamps.h"

namespace {

using qvtest::Instant;

int64_t fixedNowUnixMs = 0;
int64_t FixedWallClock() { return fixedNowUnixMs; }

class QvpollTime : public ::testing::TestWithParam<Instant> {
 protected:
  void TearDown() override { qvhost::SetWallClockForTesting(nullptr); }
};

TEST_P(QvpollTime, AnItemStampShowsTheInstant) {
  const int64_t unixMs = qvhost::UnixMsFromFileTime(GetParam().fileTime);
  EXPECT_EQ(qvhost::Iso8601(unixMs, true), GetParam().utc);
#ifndef _WIN32
  qvtest::ScopedTimeZone zone(GetParam().zone);
  EXPECT_EQ(qvhost::Iso8601(unixMs, false), GetParam().local) << "in " << GetParam().zone;
#endif
}

TEST_P(QvpollTime, TheWallClockShowsTheInstant) {
  fixedNowUnixMs = qvhost::UnixMsFromFileTime(GetParam().fileTime);
  qvhost::SetWallClockForTesting(FixedWallClock);
  EXPECT_EQ(qvhost::Iso8601(qvhost::NowUnixMs(), true), GetParam().utc);
#ifndef _WIN32
  qvtest::ScopedTimeZone zone(GetParam().zone);
  EXPECT_EQ(qvhost::Iso8601(qvhost::NowUnixMs(), false), GetParam().local) << "in " << GetParam().zone;
#endif
}

INSTANTIATE_TEST_SUITE_P(Past2038, QvpollTime, ::testing::ValuesIn(qvtest::kInstantsPast2038),
                         [](const ::testing::TestParamInfo<Instant>& info) { return std::string(info.param.name); });

TEST(QvpollWallClock, TheSystemsIsTheCalendarsNow) {
  const int64_t seconds = static_cast<int64_t>(time(nullptr));
  EXPECT_NEAR(static_cast<double>(qvhost::NowUnixMs() / 1000), static_cast<double>(seconds), 60.0);
}

}  // namespace
