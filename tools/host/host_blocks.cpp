#include "tools/host/host_blocks.h"

#include <algorithm>
#include <string.h>

namespace qvhost {

std::vector<std::unique_ptr<Block>> GroupTags(IDeviceDriver* driver, std::vector<Tag>& tags, bool writes,
                                              int16_t station) {
  std::vector<Tag*> order;
  for (Tag& tag : tags) {
    if (tag.write == writes && tag.address.deviceAddress == station) order.push_back(&tag);
  }
  // Writes keep the order typed: a controller may depend on it.
  if (!writes) std::stable_sort(order.begin(), order.end(), [](const Tag* a, const Tag* b) {
    if (a->address.registerTypeIndex != b->address.registerTypeIndex) {
      return a->address.registerTypeIndex < b->address.registerTypeIndex;
    }
    return a->address.registerAddress < b->address.registerAddress;
  });

  const int32_t operation = writes ? QV_OPERATION_WRITE : QV_OPERATION_READ;
  std::vector<std::unique_ptr<Block>> blocks;
  for (Tag* tag : order) {
    bool joined = false;
    if (!blocks.empty() && !writes) {
      Block& open = *blocks.back();
      joined = driver->lpVtbl->CanJoinBlock(driver, &tag->address, operation, &open.request) != 0;
      if (joined) open.tags.push_back(tag);
    }
    if (joined) continue;
    auto block = std::make_unique<Block>();
    block->name = (writes ? "Write" : "Read") + std::to_string(blocks.size() + 1);
    BlockRequest& r = block->request;
    r.deviceAddress = station;
    r.registerTypeIndex = tag->address.registerTypeIndex;
    r.dataType = tag->address.dataType;
    r.startAddress = r.endAddress = tag->address.registerAddress;
    r.operation = static_cast<int16_t>(operation);
    block->tags.push_back(tag);
    blocks.push_back(std::move(block));
  }

  for (auto& block : blocks) {
    block->request.blockName = block->name.c_str();
    block->nodes.resize(block->tags.size());
    for (size_t i = 0; i < block->tags.size(); ++i) {
      Tag* tag = block->tags[i];
      tag->item.registerAddress = static_cast<uint16_t>(tag->address.registerAddress);
      if (tag->write) memcpy(tag->item.value, &tag->writeValue, sizeof tag->writeValue);
      block->nodes[i].data = &tag->item;
      block->nodes[i].next = i + 1 < block->tags.size() ? &block->nodes[i + 1] : nullptr;
      block->nodes[i].prev = i > 0 ? &block->nodes[i - 1] : nullptr;
    }
    block->request.items.head = &block->nodes.front();
    block->request.items.tail = &block->nodes.back();
    block->request.items.count = static_cast<int32_t>(block->nodes.size());
    block->request.items.blockSize = 10;
  }
  return blocks;
}

}  // namespace qvhost
