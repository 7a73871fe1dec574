// How one station is doing, as the line owner counts it, and the status
// registers (input registers 9000..9015) that show it to every Modbus
// client.
#pragma once

#include <stdint.h>

namespace qvgateway {

struct StationHealth {
  uint32_t transactions = 0;
  uint32_t timeouts = 0;
  uint32_t badReplies = 0;
  uint32_t dropped = 0;  // requests dropped before the line: client gone, or past the deadline
  int consecutiveTimeouts = 0;
  bool lastGood = false;
  bool demoted = false;
  int64_t demotedUntilMs = 0;  // steady clock, its probe
  int lastError = -1;  // the driver's code, -1 for none
  double lastTransactionMs = 0;
  int64_t demotedSinceMs = 0;  // steady clock, when it was demoted
};

struct StatusInputs {
  StationHealth health;
  bool lineUp = false;
  int64_t oldestAgeMs = -1;  // -1: no value yet
  int station = 0;
  uint32_t queued = 0;  // client requests waiting for the line
};

inline uint16_t Saturated(int64_t value) {
  return static_cast<uint16_t>(value < 0 ? 0 : value > 65535 ? 65535 : value);
}

// 9000 communication good; 9001 age of the oldest value in 100 ms units;
// 9002/9003 transactions, high word first; 9004 time-outs; 9005 bad
// replies; 9006 demoted; 9007 last driver error code (65535 none); 9008
// requests dropped; 9009 consecutive time-outs; 9010 port open; 9011 the
// station number; 9012 client requests queued for the line; 9013 the last
// transaction's time in 0.1 ms; 9014..9015 zero.
inline void FillStatus(const StatusInputs& in, uint16_t out[16]) {
  const StationHealth& h = in.health;
  for (int i = 0; i < 16; ++i) out[i] = 0;
  out[0] = in.lineUp && h.lastGood && !h.demoted ? 1 : 0;
  out[1] = in.oldestAgeMs < 0 ? 65535 : Saturated(in.oldestAgeMs / 100);
  out[2] = static_cast<uint16_t>(h.transactions >> 16);
  out[3] = static_cast<uint16_t>(h.transactions);
  out[4] = Saturated(h.timeouts);
  out[5] = Saturated(h.badReplies);
  out[6] = h.demoted ? 1 : 0;
  out[7] = h.lastError < 0 ? 65535 : Saturated(h.lastError);
  out[8] = Saturated(h.dropped);
  out[9] = Saturated(h.consecutiveTimeouts);
  out[10] = in.lineUp ? 1 : 0;
  out[11] = static_cast<uint16_t>(in.station);
  out[12] = Saturated(in.queued);
  out[13] = Saturated(static_cast<int64_t>(h.lastTransactionMs * 10));
}

}  // namespace qvgateway
