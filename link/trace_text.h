// A trace line built in a fixed buffer: a transaction with the trace on
// still allocates nothing. Text that does not fit is cut, never overrun.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace quorvalend {

constexpr size_t kTraceLineCapacity = 1536;
// A frame longer than this shows its first bytes and how many followed.
constexpr int32_t kTraceFrameBytesShown = 160;

class TraceText {
 public:
  TraceText() { text_[0] = '\0'; }
  TraceText& Add(const char* s);
  TraceText& Add(const char* s, size_t n);
  TraceText& Number(int64_t n);
  // Milliseconds with one decimal, from microseconds: "12.3 ms".
  TraceText& Milliseconds(uint64_t microseconds);
  // "05 30 31 ... | <ENQ>01...<CR>", the bytes in hex, then as text with
  // the protocol's control characters named.
  TraceText& Frame(const uint8_t* bytes, int32_t count);

  const char* text() const { return text_; }
  size_t length() const { return length_; }

 private:
  void Put(char c);
  char text_[kTraceLineCapacity];
  size_t length_ = 0;
};

}  // namespace quorvalend
