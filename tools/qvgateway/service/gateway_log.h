// The gateway's log: one line per event on standard error (start, port
// opened, lost and back, station demoted and restored, client refused,
// every write and its result). Run by systemd with standard error on the
// journal, each line begins with its severity as "<3>".."<7>" and leaves
// the time to the journal (`journalctl -p warning` then shows only what
// went wrong); anywhere else it begins with the local time and its offset
// from UTC.
#pragma once

#include <stdint.h>

#include <string>

namespace qvgateway {

// The journal's priorities, in its numbers.
enum class Severity { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

void LogEvent(Severity severity, const std::string& text);
// An event worth noticing: the line's, the clients', the broker's.
inline void LogEvent(const std::string& text) { LogEvent(Severity::Notice, text); }

// The line as written, without its end: "<4>text" on the journal,
// "2026-12-10T09:42:20.123+01:00 qvgateway: text" elsewhere.
std::string LogLine(Severity severity, const std::string& text, bool journal, int64_t unixMs);

// Whether standard error is the journal's stream: JOURNAL_STREAM names the
// device and inode systemd connected, so a program started from a service
// with its standard error sent elsewhere still writes times.
bool StderrIsJournal();

}  // namespace qvgateway
