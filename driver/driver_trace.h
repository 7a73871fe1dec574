// The driver's trace: what it sends and receives and what came of it, one
// line per event, for the integrator who cannot see inside the host. Lines
// are made in fixed buffers; with no sink nothing is done at all.
#pragma once

#include <stdint.h>

#include "driver/driver_settings.h"
#include "platform/trace_sink.h"
#include "quorvalend/records.h"

namespace quorvalend {

// What one transaction did, as far as the trace tells it.
struct TransactionRecord {
  const uint8_t* request = nullptr;
  int32_t requestLength = 0;
  const uint8_t* reply = nullptr;  // what arrived, complete or not
  int32_t replyLength = 0;
  int32_t error = -1;       // the code this transaction set, -1 none
  int32_t systemError = 0;  // a failed write's own error number
  const char* why = nullptr;  // a failure's cause in words
  uint64_t microseconds = 0;
};

void TraceCreated(TraceSink* sink, const DriverSettings& settings);
void TraceOpen(TraceSink* sink, const PortSettings& settings, bool opened, int32_t systemError);
// What came of putting the port's transmitter under RTS, in the port's words.
void TraceRs485Applied(TraceSink* sink, const PortSettings& settings, const Rs485Setting& rs485,
                       const Rs485Report& report);
// The open line of a port that refused it, failed with the configure code.
void TraceRs485Refused(TraceSink* sink, const PortSettings& settings, const Rs485Setting& rs485,
                       const Rs485Report& report);
// "lend" (SetPortHandle) or "close" (ClosePort) of `handle`.
void TraceHandle(TraceSink* sink, const char* label, const char* what, QvPortHandle handle, bool ok);
void TraceTransaction(TraceSink* sink, const char* label, const BlockRequest& block, int32_t result,
                      const TransactionRecord& record);

}  // namespace quorvalend
