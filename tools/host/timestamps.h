// Times as qvpoll prints them: ISO 8601 with milliseconds and the offset
// from UTC, local time by default, so that a reader never has to guess.
#pragma once

#include <stdint.h>

#include <string>

namespace qvhost {

// Milliseconds since 1970-01-01 UTC, from the wall clock.
int64_t NowUnixMs();
// Puts `nowUnixMs` in the wall clock's place (null: the system's again).
void SetWallClockForTesting(int64_t (*nowUnixMs)());
// The driver stamps items with a FILETIME (100 ns since 1601, UTC); 0 for
// none.
int64_t UnixMsFromFileTime(uint64_t fileTime);
// "2026-12-09T01:34:51.717+00:00"; local time with its offset unless `utc`.
std::string Iso8601(int64_t unixMs, bool utc);

}  // namespace qvhost
