// The protocol's fixed-width ASCII fields: two uppercase hexadecimal digits
// per byte, four decimal digits per address, and the XOR block check.
#pragma once

#include <stdint.h>

namespace quorvalend {

void ByteToHex(uint8_t* destination, uint8_t value);
void FourDigitDecimal(uint8_t* destination, int32_t value);
uint8_t BlockCheck(const uint8_t* data, int32_t length);

// The reply side runs these for every digit of every value, so they are
// inline.
inline bool IsDecimal(uint8_t c) { return c >= 0x30 && c <= 0x39; }
inline bool IsLowerHexLetter(uint8_t c) { return c >= 'a' && c <= 'f'; }
inline bool IsHexDigit(uint8_t c) { return IsDecimal(c) || (c >= 'A' && c <= 'F') || IsLowerHexLetter(c); }

// Any byte goes through the arithmetic; nothing is rejected here. Lowercase
// letters count as 10..15 in both positions, as a controller that answers in
// lowercase means them.
inline uint8_t HexToByte(const uint8_t* source) {
  if (source == nullptr) return 0;
  const uint8_t c = source[0], d = source[1];
  const unsigned high = IsDecimal(c) ? 16u * (c - 0x30u) : 16u * ((c + 9u) % 16u);
  unsigned low;
  if (IsDecimal(d)) {
    low = d - 0x30u;
  } else if (IsLowerHexLetter(d)) {
    low = d - 0x57u;
  } else {
    low = (d - 0x37u) % 256u;
  }
  return static_cast<uint8_t>((high + low) % 256u);
}

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
