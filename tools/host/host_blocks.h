// Tags and blocks laid out as a data server lays them: TagAddress records
// from ParseTag, BlockRequests grouped by CanJoinBlock, items on the
// framework's doubly linked list.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "quorvalend/quorvalend.h"

namespace qvhost {

struct Tag {
  std::string text;
  TagAddress address{};
  bool write = false;
  uint32_t writeValue = 0;
  BlockItem item{};
};

struct Block {
  BlockRequest request{};
  std::vector<Tag*> tags;
  std::vector<QvListNode> nodes;
  std::string name;
};

// Offers the station's tags to open blocks in turn: reads sorted by area
// and address, for the fewest blocks; writes in their given order, one
// block per written register.
std::vector<std::unique_ptr<Block>> GroupTags(IDeviceDriver* driver, std::vector<Tag>& tags, bool writes,
                                              int16_t station);

}  // namespace qvhost
