#include "link/frame_codec.h"

namespace quorvalend {
namespace {

uint8_t NibbleDigit(uint8_t n) { return static_cast<uint8_t>(n < 10 ? 0x30 + n : 0x37 + n); }
bool IsDecimal(uint8_t c) { return c >= 0x30 && c <= 0x39; }
bool IsLowerHexLetter(uint8_t c) { return c >= 'a' && c <= 'f'; }

}  // namespace

bool IsHexDigit(uint8_t c) {
  return IsDecimal(c) || (c >= 'A' && c <= 'F') || IsLowerHexLetter(c);
}

void ByteToHex(uint8_t* destination, uint8_t value) {
  if (destination == nullptr) return;
  destination[0] = NibbleDigit(value >> 4);
  destination[1] = NibbleDigit(value & 0x0F);
}

// Any byte goes through the arithmetic; nothing is rejected here. Lowercase
// letters count as 10..15 in both positions, as a controller that answers in
// lowercase means them.
uint8_t HexToByte(const uint8_t* source) {
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

void FourDigitDecimal(uint8_t* destination, int32_t value) {
  if (destination == nullptr) return;
  unsigned v = static_cast<uint32_t>(value) & 0xFFFFu;
  for (int i = 3; i >= 0; --i) {
    destination[i] = static_cast<uint8_t>(0x30 + v % 10);
    v /= 10;
  }
}

uint8_t BlockCheck(const uint8_t* data, int32_t length) {
  if (data == nullptr) return 0;
  uint8_t check = data[0];
  for (int32_t i = 1; i < length; ++i) check ^= data[i];
  return check;
}

}  // namespace quorvalend
