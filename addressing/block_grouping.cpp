#include "addressing/block_grouping.h"

#include "quorvalend/records.h"

namespace quorvalend {

bool JoinBlock(const GroupingKey& tagKey, int32_t tagAddress, const GroupingKey& blockKey,
               BlockRange* range) {
  if (tagKey.operation != blockKey.operation) return false;
  if (tagKey.station != blockKey.station) return false;
  if (tagKey.typeIndex != blockKey.typeIndex) return false;

  if (blockKey.operation == QV_OPERATION_WRITE) return tagAddress == range->start;

  // 64-bit spans: a hostile range must not wrap into an accepted one.
  const int64_t a = tagAddress, s = range->start, e = range->end;
  if (a < s) {
    if (e - a + 1 > kMaxReadSpan) return false;
    range->start = tagAddress;
  } else if (a > e) {
    if (a - s + 1 > kMaxReadSpan) return false;
    range->end = tagAddress;
  }
  return true;
}

}  // namespace quorvalend
