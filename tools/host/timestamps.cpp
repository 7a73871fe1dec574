#include "tools/host/timestamps.h"

#include <stdio.h>
#include <time.h>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace qvhost {
namespace {

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

int64_t SecondsAsIfUtc(const tm& t) {
  return DaysFromCivil(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday) * 86400 + t.tm_hour * 3600 + t.tm_min * 60 +
         t.tm_sec;
}

// Calendar fields of `seconds` since 1970, in UTC or local time, with a
// 64-bit time on both systems: the Windows C library's time_t of this
// build has 32 bits, and a 32-bit time ends in 2038.
bool BreakDown(int64_t seconds, bool utc, tm* out) {
#if defined(_WIN32)
  const __time64_t t = seconds;
  return (utc ? _gmtime64_s(out, &t) : _localtime64_s(out, &t)) == 0;
#else
  const time_t t = static_cast<time_t>(seconds);
  return (utc ? gmtime_r(&t, out) : localtime_r(&t, out)) != nullptr;
#endif
}

// The system's wall clock. Not the C++ library's system_clock: on 32-bit
// Linux that one reads a 32-bit time inside, which ends in 2038.
int64_t SystemNowUnixMs() {
#if defined(_WIN32)
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return UnixMsFromFileTime((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
#else
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
#endif
}

int64_t (*wallClock)() = SystemNowUnixMs;

}  // namespace

int64_t NowUnixMs() { return wallClock(); }

void SetWallClockForTesting(int64_t (*nowUnixMs)()) { wallClock = nowUnixMs != nullptr ? nowUnixMs : SystemNowUnixMs; }

int64_t UnixMsFromFileTime(uint64_t fileTime) {
  constexpr uint64_t kUnixEpoch = 116444736000000000ull;
  if (fileTime < kUnixEpoch) return 0;
  return static_cast<int64_t>((fileTime - kUnixEpoch) / 10000u);
}

std::string Iso8601(int64_t unixMs, bool utc) {
  int64_t seconds = unixMs / 1000, ms = unixMs % 1000;
  if (ms < 0) {
    ms += 1000;
    --seconds;
  }
  tm local{};
  if (!BreakDown(seconds, utc, &local)) return "-";
  const int64_t offset = utc ? 0 : SecondsAsIfUtc(local) - seconds;
  const int64_t offsetMinutes = (offset < 0 ? -offset : offset) / 60;
  char text[48];
  snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", local.tm_year + 1900,
           local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(ms),
           offset < 0 ? '-' : '+', static_cast<int>(offsetMinutes / 60), static_cast<int>(offsetMinutes % 60));
  return text;
}

}  // namespace qvhost
