// Writing one request and collecting one complete reply on a polled line.
#pragma once

#include <stdint.h>

#include "platform/clock.h"
#include "platform/serial_port.h"

namespace quorvalend {

constexpr int32_t kLargestFrame = 1024;
constexpr int32_t kReceiveCapacity = 1024;  // a reply stays below this
constexpr uint32_t kPollIntervalMs = 10;

// How the reply wait passes the time between looks at the port: a fixed
// 10 ms sleep, or a wait that ends as soon as bytes arrive (at most 10 ms).
enum class ReplyWait { Poll, Early };

enum class ExchangeStatus {
  Done,
  Refused,    // nothing was tried; no error code applies
  WriteFailed,
  TimedOut,
  Overflow,   // the input would reach the receive capacity
};

// True once more than `timeoutMs` have passed since `startTick`. Elapsed
// ticks are compared, so the 32-bit wrap of the tick neither ends a wait at
// once nor makes it endless; a negative time-out has always expired.
bool WaitExpired(uint32_t startTick, uint32_t nowTick, int32_t timeoutMs);

// Purges both queues, so that stale input is gone before the request goes
// out, then writes `*length` bytes and stores the count written.
ExchangeStatus SendFrame(SerialPort& port, PortHandle handle, const uint8_t* frame, int32_t* length,
                         int32_t* platformError);

// Polls every 10 ms until the buffer holds a reply that starts with ACK or
// NAK and ends with CR, or `timeoutMs` has passed. `buffer` holds at least
// kReceiveCapacity bytes. On a time-out `*length` is what had gathered, so
// a trace can show it.
ExchangeStatus ReceiveReply(SerialPort& port, Clock& clock, PortHandle handle, int32_t timeoutMs,
                            uint8_t* buffer, int32_t* length, ReplyWait wait = ReplyWait::Poll);

}  // namespace quorvalend
