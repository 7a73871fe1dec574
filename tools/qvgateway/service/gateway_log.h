// The gateway's log: one line per event on standard error (start, port
// opened, lost and back, station demoted and restored, client refused,
// partial write), each with the local time and its offset from UTC.
#pragma once

#include <string>

namespace qvgateway {

void LogEvent(const std::string& text);

}  // namespace qvgateway
