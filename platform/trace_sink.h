// Where the driver's trace lines go: a file, or the debugger's output
// (standard error on Linux). A sink never fails its caller: a line that
// cannot be written is dropped.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace quorvalend {

// The longest text a sink writes whole; longer text is cut.
constexpr size_t kTraceSinkTextCapacity = 1536;

class TraceSink {
 public:
  virtual ~TraceSink() = default;
  // Writes `fileTime` (100 ns since 1601, UTC; the caller's clock) as local
  // time with its offset, a blank, `text` and a line end, in one write, so
  // that lines from several objects and processes sharing a file never
  // interleave. Allocates nothing.
  virtual void WriteLine(uint64_t fileTime, const char* text, size_t length) = 0;
};

constexpr char kTraceToDebugger[] = "debug";

// "debug" (any case) for the debugger's output; else a file path, opened
// for appending only, never through a symbolic link, created readable by
// its owner only, and renamed with ".1" once it passes `maxBytes`. Null when
// the file cannot be opened: the trace is then off.
TraceSink* OpenTraceSink(const char* target, uint64_t maxBytes);

// "2026-12-09T01:34:51.717+00:00": `fileTime` (100 ns since 1601, UTC) as
// local time with its offset from UTC.
size_t FormatLocalTimestamp(uint64_t fileTime, char* buffer, size_t size);

}  // namespace quorvalend
