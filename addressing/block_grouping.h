// Which tag may travel in which transaction.
//
// A read block widens greedily to take a tag in, up to 32 register addresses
// from start to end; a write block carries one register. A refusal changes
// nothing, so the host can offer the tag to another block.
#pragma once

#include <stdint.h>

namespace quorvalend {

constexpr int32_t kMaxReadSpan = 32;

struct GroupingKey {
  int16_t station;
  int16_t typeIndex;
  int32_t operation;
};

struct BlockRange {
  int32_t start;
  int32_t end;
};

// Returns true when a tag with `tagKey` and register `tagAddress` may join a
// block with `blockKey`; a joining read may move one end of `range`.
bool JoinBlock(const GroupingKey& tagKey, int32_t tagAddress, const GroupingKey& blockKey,
               BlockRange* range);

}  // namespace quorvalend
