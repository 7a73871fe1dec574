// Classifying a reply and finding a register's value in it.
//
// Read data starts at reply offset 4, two hexadecimal digits per byte in
// address order: four digits per "D" register, two per "M" group of ten.
#pragma once

#include <stdint.h>

namespace quorvalend {

// NAK, or ACK with status "2", is a bad reply; anything else is good.
bool ReplyIsGood(const uint8_t* reply);

struct ValueLocation {
  int32_t offset;  // first digit in the reply
  int32_t digits;  // 4 for "D", 2 for "M"
};

// Where the value of register `address` lies in the reply of a read that
// starts at `start`. False when the address lies outside start..end or the
// area is unknown: such an item has no place in the reply.
bool LocateValue(int16_t typeIndex, int32_t start, int32_t end, int32_t address, ValueLocation* location);

// True when every digit of `location` lies before the reply's final CR
// (at `length` - 1) and is a hexadecimal digit.
bool ValueIsPresent(const uint8_t* reply, int32_t length, const ValueLocation& location);

// The value at a location checked by ValueIsPresent: a 16-bit register for
// four digits, one byte for two.
uint32_t DecodeValue(const uint8_t* reply, const ValueLocation& location);

}  // namespace quorvalend
