// Bytes a transaction puts on the line, and how long they take there: a
// read request is 15 characters; a reply is ACK, station, one status
// character, four hex digits per D register or two per M group, block
// check and CR.
#pragma once

#include "tools/qvgateway/line/register_rules.h"

namespace qvgateway {

constexpr int kReadRequestBytes = 15;
constexpr int kReplyFrameBytes = 7;  // ACK, station (2), status, block check (2), CR
constexpr int kWriteRequestBytesD = 19;
constexpr int kWriteRequestBytesM = 17;

// `count`: D registers, or M groups.
inline int ReadTransactionBytes(Area area, int count) {
  return kReadRequestBytes + kReplyFrameBytes + (area == Area::D ? 4 : 2) * count;
}
inline int WriteTransactionBytes(Area area) {
  return (area == Area::D ? kWriteRequestBytesD : kWriteRequestBytesM) + kReplyFrameBytes;
}

// Start bit, data bits, parity bit if any, stop bits.
inline int BitsPerByte(int dataBits, int parity, int stopBits) {
  return 1 + dataBits + (parity != 0 ? 1 : 0) + stopBits;
}

inline double WireMs(int bytes, int bitsPerByte, int baud) {
  return 1000.0 * bytes * bitsPerByte / baud;
}

}  // namespace qvgateway
