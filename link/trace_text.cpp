#include "link/trace_text.h"

#include <string.h>

#include "link/frame_codec.h"
#include "link/request_frame.h"

namespace quorvalend {

void TraceText::Put(char c) {
  if (length_ + 1 >= sizeof text_) return;
  text_[length_++] = c;
  text_[length_] = '\0';
}

TraceText& TraceText::Add(const char* s) { return s == nullptr ? *this : Add(s, strlen(s)); }

TraceText& TraceText::Add(const char* s, size_t n) {
  for (size_t i = 0; i < n; ++i) Put(s[i]);
  return *this;
}

TraceText& TraceText::Number(int64_t n) {
  char digits[24];
  size_t count = 0;
  uint64_t magnitude = n < 0 ? 0u - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (n < 0) Put('-');
  while (count > 0) Put(digits[--count]);
  return *this;
}

TraceText& TraceText::Milliseconds(uint64_t microseconds) {
  const uint64_t tenths = (microseconds + 50) / 100;
  Number(static_cast<int64_t>(tenths / 10));
  Put('.');
  Put(static_cast<char>('0' + tenths % 10));
  return Add(" ms");
}

TraceText& TraceText::Frame(const uint8_t* bytes, int32_t count) {
  const int32_t shown = count < kTraceFrameBytesShown ? count : kTraceFrameBytesShown;
  char hex[3] = {};
  for (int32_t i = 0; i < shown; ++i) {
    ByteToHex(reinterpret_cast<uint8_t*>(hex), bytes[i]);
    Add(hex, 2);
    Put(' ');
  }
  Add("| ");
  for (int32_t i = 0; i < shown; ++i) {
    const uint8_t c = bytes[i];
    if (c == kEnq) Add("<ENQ>");
    else if (c == kAck) Add("<ACK>");
    else if (c == kNak) Add("<NAK>");
    else if (c == kCr) Add("<CR>");
    else if (c >= 0x20 && c < 0x7F) Put(static_cast<char>(c));
    else {
      ByteToHex(reinterpret_cast<uint8_t*>(hex), c);
      Put('<');
      Add(hex, 2);
      Put('>');
    }
  }
  if (shown < count) Add(" ... and ").Number(count - shown).Add(" bytes more");
  return *this;
}

}  // namespace quorvalend
