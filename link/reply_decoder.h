// Classifying a reply and finding a register's value in it.
//
// Read data starts at reply offset 4, two hexadecimal digits per byte in
// address order: four digits per "D" register, two per "M" group of ten.
#pragma once

#include <stdint.h>

#include "link/frame_codec.h"
#include "quorvalend/records.h"

namespace quorvalend {

// NAK, or ACK with status "2", is a bad reply; anything else is good. Only
// the `length` bytes that arrived are looked at: a reply too short to hold a
// status character has none, whatever the buffer holds past its end.
bool ReplyIsGood(const uint8_t* reply, int32_t length);

// True when the reply's characters at offsets 1 and 2 name the station the
// request did (as hexadecimal digits, in either case). A reply too short to
// carry them names none.
bool SameStation(const uint8_t* request, const uint8_t* reply, int32_t replyLength);

// The rest runs for every item of every read, so it is inline.
constexpr int32_t kReplyDataOffset = 4;

struct ValueLocation {
  int32_t offset;  // first digit in the reply
  int32_t digits;  // 4 for "D", 2 for "M"
};

// Where the value of register `address` lies in the reply of a read that
// starts at `start`. False when the address lies outside start..end or the
// area is unknown: such an item has no place in the reply.
inline bool LocateValue(int16_t typeIndex, int32_t start, int32_t end, int32_t address,
                        ValueLocation* location) {
  if (address < start || address > end) return false;
  // The range check bounds rel by the block's span; a block wider than the
  // line allows is still kept inside 32-bit arithmetic here.
  const int64_t rel = static_cast<int64_t>(address) - start;
  int64_t offset;
  if (typeIndex == QV_TYPE_INDEX_D) {
    offset = kReplyDataOffset + 4 * rel;
    location->digits = 4;
  } else if (typeIndex == QV_TYPE_INDEX_M) {
    offset = kReplyDataOffset + 2 * (rel / 10);
    location->digits = 2;
  } else {
    return false;
  }
  if (offset > INT32_MAX - 4) return false;
  location->offset = static_cast<int32_t>(offset);
  return true;
}

// True when every digit of `location` lies before the reply's final CR
// (at `length` - 1) and is a hexadecimal digit.
inline bool ValueIsPresent(const uint8_t* reply, int32_t length, const ValueLocation& location) {
  const int32_t finalCr = length - 1;
  if (location.offset + location.digits > finalCr) return false;
  for (int32_t i = 0; i < location.digits; ++i) {
    if (!IsHexDigit(reply[location.offset + i])) return false;
  }
  return true;
}

// The value at a location checked by ValueIsPresent: a 16-bit register for
// four digits, one byte for two.
inline uint32_t DecodeValue(const uint8_t* reply, const ValueLocation& location) {
  const uint8_t* digits = reply + location.offset;
  if (location.digits == 2) return HexToByte(digits);
  return static_cast<uint32_t>(HexToByte(digits)) * 256u + HexToByte(digits + 2);
}

}  // namespace quorvalend
