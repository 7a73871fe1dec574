// What the line owner answers a request with: whether it was done and, if
// not, the one reason that holds, with the driver's code when the line was
// reached. Each protocol side turns it into its own answer (a Modbus
// exception, an MQTT write result, a tag's meaning); the line itself knows
// no protocol's codes.
#pragma once

#include <stdint.h>

#include <string>

namespace qvgateway {

enum class LineReason {
  None,        // done
  Silent,      // the station did not answer (time-out, or a failure that leaves it unknown)
  Refused,     // the controller refused the request or answered garbage
  Demoted,     // the station is demoted after time-outs in a row: nothing is sent until its probe
  PortLost,    // the port is gone: nothing is sent until it is back
  QueueFull,   // the line's queue is full: refused before the line
  Deadline,    // waited past request_deadline_ms: dropped before the line
  Stopping,    // the gateway is stopping
  ClientGone,  // the client went away: nobody to answer
};

struct LineResult {
  LineReason reason = LineReason::None;
  int driverCode = -1;      // the driver's code of the transaction that failed, -1 none
  bool partial = false;     // a write of several registers stopped part way: the first ones were done
  int64_t retryInMs = -1;   // Demoted: the time until the station's probe, -1 unknown

  bool ok() const { return reason == LineReason::None; }
};

inline LineResult LineDone() { return LineResult{}; }
inline LineResult LineFailed(LineReason reason, int driverCode = -1) {
  LineResult result;
  result.reason = reason;
  result.driverCode = driverCode;
  return result;
}

// The reason in a few plain words ("port lost", "station demoted: receive
// time-out; next try in 2.5 s", "receive time-out"): a failure the driver
// named is said in the driver's meaning.
std::string LineMeaning(const LineResult& result);

// A short fixed name for logs and JSON ("port_lost", "demoted", ...).
const char* LineReasonName(LineReason reason);

}  // namespace qvgateway
