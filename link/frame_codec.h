// The protocol's fixed-width ASCII fields: two uppercase hexadecimal digits
// per byte, four decimal digits per address, and the XOR block check.
#pragma once

#include <stdint.h>

namespace quorvalend {

void ByteToHex(uint8_t* destination, uint8_t value);
uint8_t HexToByte(const uint8_t* source);
void FourDigitDecimal(uint8_t* destination, int32_t value);
uint8_t BlockCheck(const uint8_t* data, int32_t length);
bool IsHexDigit(uint8_t c);

// The driver owns one codec; its operations depend on their arguments alone.
class FrameCodec {
 public:
  virtual ~FrameCodec() = default;
  void ByteToHex(uint8_t* destination, uint8_t value) const { quorvalend::ByteToHex(destination, value); }
  uint8_t HexToByte(const uint8_t* source) const { return quorvalend::HexToByte(source); }
  void FourDigitDecimal(uint8_t* destination, int32_t value) const {
    quorvalend::FourDigitDecimal(destination, value);
  }
  uint8_t BlockCheck(const uint8_t* data, int32_t length) const {
    return quorvalend::BlockCheck(data, length);
  }
};

}  // namespace quorvalend
