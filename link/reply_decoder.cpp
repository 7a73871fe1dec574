#include "link/reply_decoder.h"

#include "link/request_frame.h"

namespace quorvalend {
namespace {

constexpr int32_t kStatusOffset = 3;
constexpr uint8_t kBadStatus = '2';

}  // namespace

bool ReplyIsGood(const uint8_t* reply, int32_t length) {
  if (length <= 0) return false;
  if (reply[0] == kNak) return false;
  if (reply[0] == kAck && length > kStatusOffset && reply[kStatusOffset] == kBadStatus) return false;
  return true;
}

bool SameStation(const uint8_t* request, const uint8_t* reply, int32_t replyLength) {
  constexpr int32_t kStationOffset = 1;
  // The two digits and a CR after them at least.
  if (replyLength < kStationOffset + 3) return false;
  const uint8_t* digits = reply + kStationOffset;
  if (!IsHexDigit(digits[0]) || !IsHexDigit(digits[1])) return false;
  return HexToByte(digits) == HexToByte(request + kStationOffset);
}

}  // namespace quorvalend
