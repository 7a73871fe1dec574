// A host block built from fuzz input: the first bytes choose the shape,
// the rest is left for the caller.
#pragma once

#include <string.h>

#include "quorvalend/records.h"

namespace qvfuzz {

constexpr size_t kMaxItems = 40;

// Fixed arrays: the fuzzer's own allocations stay out of every run.
struct FuzzBlock {
  BlockRequest request{};
  BlockItem items[kMaxItems];
  QvListNode nodes[kMaxItems];
  size_t count = 0;
  char name[8] = "Fuzz";
};

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  template <typename T>
  T Take() {
    T value{};
    const size_t n = sizeof value < size_ - at_ ? sizeof value : size_ - at_;
    memcpy(&value, data_ + at_, n);
    at_ += n;
    return value;
  }
  const uint8_t* Rest() const { return data_ + at_; }
  size_t RestSize() const { return size_ - at_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Layout: area, data type, operation, start (16), span, item count, then
// per item a 16-bit address, then item value bytes.
inline void BuildBlock(Reader& in, FuzzBlock* block) {
  BlockRequest& r = block->request;
  r.deviceAddress = in.Take<int16_t>();
  r.registerTypeIndex = static_cast<int16_t>(in.Take<uint8_t>() % 4);  // mostly 0/1, sometimes unknown
  r.dataType = in.Take<int16_t>();
  r.operation = static_cast<int16_t>(in.Take<uint8_t>() % 3);
  r.startAddress = in.Take<int16_t>();
  r.endAddress = r.startAddress + (in.Take<uint8_t>() % 64);  // wider than grouping allows, too
  r.blockName = block->name;
  const size_t count = in.Take<uint8_t>() % kMaxItems;
  block->count = count;
  for (size_t i = 0; i < count; ++i) {
    BlockItem& item = block->items[i];
    memset(&item, 0xEE, sizeof item);
    item.registerAddress = in.Take<uint16_t>();
    item.value[0] = in.Take<uint8_t>();
    item.value[1] = in.Take<uint8_t>();
  }
  for (size_t i = 0; i < count; ++i) {
    block->nodes[i].data = &block->items[i];
    block->nodes[i].next = i + 1 < count ? &block->nodes[i + 1] : nullptr;
    block->nodes[i].prev = i > 0 ? &block->nodes[i - 1] : nullptr;
  }
  r.items.head = count > 0 ? &block->nodes[0] : nullptr;
  // The count may claim more nodes than the list holds.
  r.items.count = static_cast<int32_t>(count) + (in.Take<uint8_t>() % 3);
}

}  // namespace qvfuzz
