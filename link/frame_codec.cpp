#include "link/frame_codec.h"

namespace quorvalend {
namespace {

uint8_t NibbleDigit(uint8_t n) { return static_cast<uint8_t>(n < 10 ? 0x30 + n : 0x37 + n); }

}  // namespace

void ByteToHex(uint8_t* destination, uint8_t value) {
  if (destination == nullptr) return;
  destination[0] = NibbleDigit(value >> 4);
  destination[1] = NibbleDigit(value & 0x0F);
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
