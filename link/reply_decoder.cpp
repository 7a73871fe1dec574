#include "link/reply_decoder.h"

#include "link/frame_codec.h"
#include "link/request_frame.h"
#include "quorvalend/records.h"

namespace quorvalend {
namespace {

constexpr int32_t kDataOffset = 4;
constexpr int32_t kStatusOffset = 3;
constexpr uint8_t kBadStatus = '2';

}  // namespace

bool ReplyIsGood(const uint8_t* reply) {
  if (reply[0] == kNak) return false;
  if (reply[0] == kAck && reply[kStatusOffset] == kBadStatus) return false;
  return true;
}

bool LocateValue(int16_t typeIndex, int32_t start, int32_t end, int32_t address, ValueLocation* location) {
  if (address < start || address > end) return false;
  // The range check bounds rel by the block's span; a block wider than the
  // line allows is still kept inside 32-bit arithmetic here.
  const int64_t rel = static_cast<int64_t>(address) - start;
  int64_t offset;
  if (typeIndex == QV_TYPE_INDEX_D) {
    offset = kDataOffset + 4 * rel;
    location->digits = 4;
  } else if (typeIndex == QV_TYPE_INDEX_M) {
    offset = kDataOffset + 2 * (rel / 10);
    location->digits = 2;
  } else {
    return false;
  }
  if (offset > INT32_MAX - 4) return false;
  location->offset = static_cast<int32_t>(offset);
  return true;
}

bool ValueIsPresent(const uint8_t* reply, int32_t length, const ValueLocation& location) {
  const int32_t finalCr = length - 1;
  if (location.offset + location.digits > finalCr) return false;
  for (int32_t i = 0; i < location.digits; ++i) {
    if (!IsHexDigit(reply[location.offset + i])) return false;
  }
  return true;
}

uint32_t DecodeValue(const uint8_t* reply, const ValueLocation& location) {
  const uint8_t* digits = reply + location.offset;
  if (location.digits == 2) return HexToByte(digits);
  return static_cast<uint32_t>(HexToByte(digits)) * 256u + HexToByte(digits + 2);
}

}  // namespace quorvalend
