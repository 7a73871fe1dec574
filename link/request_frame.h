// One request frame: ENQ, station, "0", command, area, address, count,
// write data, block check, CR.
#pragma once

#include <stdint.h>

namespace quorvalend {

constexpr uint8_t kEnq = 0x05;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kCr = 0x0D;

// The longest frame ("D" write) and the zero byte that follows it.
constexpr int32_t kLongestRequest = 19;

// What a frame needs to know about its block.
struct RequestShape {
  uint8_t station;
  int16_t typeIndex;
  int16_t dataType;
  int32_t start;
  int32_t end;
  int16_t operation;
  bool hasItem;      // a write takes its data from the first item
  uint8_t valueLow;  // first item's value byte 8
  uint8_t valueHigh; // first item's value byte 9
};

// Writes the frame and a zero byte to `destination` (at least
// kLongestRequest + 1 bytes) and returns the frame length without the zero
// byte; 0 when the block cannot be put on the line (an unknown area, or a
// write with no item to take data from).
int32_t FormatRequest(const RequestShape& shape, uint8_t* destination);

}  // namespace quorvalend
