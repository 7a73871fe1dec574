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

}  // namespace quorvalend
