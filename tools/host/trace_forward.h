// Where the trace of a tool's own objects goes besides the tool: standard
// error for -v, and wherever the user's own Trace setting sends a driver's
// trace (standard error or the debugger for "debug", or a file, kept to
// the same rules as the driver's: appended whole lines, never through a
// link, only a regular file, renamed to .1 past its size).
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/host/object_settings.h"

namespace qvhost {

class TraceForward {
 public:
  TraceForward() = default;
  ~TraceForward();
  TraceForward(const TraceForward&) = delete;
  TraceForward& operator=(const TraceForward&) = delete;

  // False with the reason when the user's trace file cannot be opened;
  // the lines then go only to standard error, if asked.
  bool Open(const UserTrace& user, bool toStandardError, std::string* problem);
  void Write(const std::vector<std::string>& lines);

 private:
  bool Reopen(std::string* problem);
  void Rotate();

  bool toStandardError_ = false;
  bool toDebugger_ = false;
  std::string path_;
  uint64_t maxBytes_ = 0;
  intptr_t file_ = -1;  // a descriptor, or a HANDLE
};

}  // namespace qvhost
