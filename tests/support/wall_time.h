// Instants past 2038-01-19, when a 32-bit time ends, as the driver's clock
// gives them (100 ns since 1601, UTC), with the text each must show in a
// time zone of its own; and a time zone put in force for one test (POSIX:
// the TZ rule, no zone database needed).
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <time.h>

#include <ostream>
#include <string>

namespace qvtest {

// Days from 1970-01-01 to a date of the Gregorian calendar, by the civil
// calendar's own arithmetic (no library time function is trusted here).
constexpr int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  const int64_t y = year - (month <= 2 ? 1 : 0);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yearOfEra = y - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

constexpr uint64_t FileTimeOf(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute,
                              int64_t second, int64_t millisecond) {
  return kUnixEpochAsFileTime +
         static_cast<uint64_t>((DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second) *
                                   1000 +
                               millisecond) *
             10000u;
}

struct Instant {
  const char* name;  // for the test's name
  const char* what;
  uint64_t fileTime;
  const char* zone;   // a POSIX TZ rule
  const char* local;  // the instant in that zone, as the trace and qvpoll show it
  const char* utc;    // the instant as qvpoll --utc shows it
};

constexpr char kCentralEurope[] = "CET-1CEST,M3.5.0,M10.5.0/3";

const Instant kInstantsPast2038[] = {
    {"Y2038Wrap", "the first second a 32-bit time cannot hold", FileTimeOf(2038, 1, 19, 3, 14, 8, 0), "UTC0",
     "2038-01-19T03:14:08.000+00:00", "2038-01-19T03:14:08.000+00:00"},
    {"Y2040Summer", "summer 2040", FileTimeOf(2040, 7, 1, 12, 34, 56, 789), kCentralEurope,
     "2040-07-01T14:34:56.789+02:00", "2040-07-01T12:34:56.789+00:00"},
    {"Y2040LeapDay", "29 February 2040", FileTimeOf(2040, 2, 29, 23, 30, 0, 5), kCentralEurope,
     "2040-03-01T00:30:00.005+01:00", "2040-02-29T23:30:00.005+00:00"},
    {"Y2100March", "1 March 2100 (2100 has no 29 February)", FileTimeOf(2100, 3, 1, 0, 0, 0, 1), kCentralEurope,
     "2100-03-01T01:00:00.001+01:00", "2100-03-01T00:00:00.001+00:00"},
    {"Y2100LastMillisecond", "the last millisecond of 2100, west of UTC", FileTimeOf(2100, 12, 31, 23, 59, 59, 999),
     "<-0530>5:30", "2100-12-31T18:29:59.999-05:30", "2100-12-31T23:59:59.999+00:00"},
};

inline void PrintTo(const Instant& instant, std::ostream* out) { *out << instant.what; }

#ifndef _WIN32
// Puts a TZ rule in force for one scope and the previous one back after.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* rule) {
    if (const char* old = getenv("TZ")) saved_ = old, had_ = true;
    setenv("TZ", rule, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_) {
      setenv("TZ", saved_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::string saved_;
  bool had_ = false;
};
#endif

}  // namespace qvtest
