// A line that answers each request with the next of a few fixed replies,
// from fixed buffers, so that nothing but the driver could allocate or
// spend time while a count or a timing runs.
#pragma once

#include <string.h>

#include "platform/serial_port.h"

namespace qvtest {

class FixedReplyPort final : public quorvalend::SerialPort {
 public:
  quorvalend::PortHandle Open(const char*) override { return 1; }
  bool ApplyLineSettings(quorvalend::PortHandle, const quorvalend::LineSettings&) override { return true; }
  void PrepareForPolling(quorvalend::PortHandle) override {}
  bool ApplyRs485(quorvalend::PortHandle, const quorvalend::Rs485Setting&, quorvalend::Rs485Report*) override {
    return true;
  }
  bool Close(quorvalend::PortHandle) override { return true; }
  void Purge(quorvalend::PortHandle) override { pending = 0; }
  bool Write(quorvalend::PortHandle, const uint8_t*, int32_t length, int32_t* written, int32_t*) override {
    *written = length;
    ++requests;
    const char* reply = replies[next++ % replyCount];
    pending = static_cast<int32_t>(strlen(reply));
    memcpy(buffer, reply, static_cast<size_t>(pending));
    return true;
  }
  int32_t BytesWaiting(quorvalend::PortHandle) override { return pending; }
  int32_t Read(quorvalend::PortHandle, uint8_t* out, int32_t capacity) override {
    const int32_t n = pending < capacity ? pending : capacity;
    memcpy(out, buffer, static_cast<size_t>(n));
    pending = 0;
    return n;
  }
  int32_t ReadWithin(quorvalend::PortHandle handle, uint8_t* out, int32_t capacity, uint32_t) override {
    return Read(handle, out, capacity);
  }
  int32_t LastSystemError() override { return 0; }
  const char* replies[5] = {};
  int replyCount = 1;
  int next = 0;
  int requests = 0;
  int32_t pending = 0;
  uint8_t buffer[256] = {};
};

}  // namespace qvtest
