#include "link/port_exchange.h"

#include <string.h>

#include "link/request_frame.h"

namespace quorvalend {

bool WaitExpired(uint32_t startTick, uint32_t nowTick, int32_t timeoutMs) {
  if (timeoutMs < 0) return true;
  return nowTick - startTick > static_cast<uint32_t>(timeoutMs);
}

ExchangeStatus SendFrame(SerialPort& port, PortHandle handle, const uint8_t* frame, int32_t* length,
                         int32_t* platformError) {
  if (*length <= 0 || *length > kLargestFrame) return ExchangeStatus::Refused;
  port.Purge(handle);
  int32_t written = 0;
  if (!port.Write(handle, frame, *length, &written, platformError)) return ExchangeStatus::WriteFailed;
  *length = written;
  return ExchangeStatus::Done;
}

namespace {

// One look at the port: what has arrived, up to `capacity`. Between looks
// the poll sleeps its 10 ms; the early wait reads as soon as bytes come.
int32_t NextBytes(SerialPort& port, Clock& clock, PortHandle handle, ReplyWait wait, uint8_t* chunk,
                  int32_t capacity) {
  if (wait == ReplyWait::Early) return port.ReadWithin(handle, chunk, capacity, kPollIntervalMs);
  int32_t waiting = port.BytesWaiting(handle);
  if (waiting > capacity) waiting = capacity;
  const int32_t got = waiting > 0 ? port.Read(handle, chunk, waiting) : 0;
  if (got <= 0) clock.SleepMs(kPollIntervalMs);
  return got;
}

}  // namespace

ExchangeStatus ReceiveReply(SerialPort& port, Clock& clock, PortHandle handle, int32_t timeoutMs,
                            uint8_t* buffer, int32_t* length, ReplyWait wait) {
  const uint32_t start = clock.TickCount();
  int32_t received = 0;
  for (;;) {
    if (WaitExpired(start, clock.TickCount(), timeoutMs)) {
      *length = received;
      return ExchangeStatus::TimedOut;
    }
    // Read no more than fits: what stays queued is counted on the next look.
    uint8_t chunk[kReceiveCapacity];
    const int32_t got = NextBytes(port, clock, handle, wait, chunk, kReceiveCapacity);
    if (got <= 0) continue;
    if (received + got >= kReceiveCapacity) return ExchangeStatus::Overflow;
    memcpy(buffer + received, chunk, static_cast<size_t>(got));
    received += got;

    const bool starts = buffer[0] == kAck || buffer[0] == kNak;
    if (starts && buffer[received - 1] == kCr) {
      port.Purge(handle);
      *length = received;
      return ExchangeStatus::Done;
    }
    if (wait == ReplyWait::Poll) clock.SleepMs(kPollIntervalMs);
  }
}

}  // namespace quorvalend
