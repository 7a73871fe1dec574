// ExecuteBlock over any block shape and any reply bytes, with the reply's
// properties checked, not only the absence of a crash.
#include <string>
#include <vector>

#include "link/frame_codec.h"
#include "link/port_exchange.h"
#include "tests/fuzz/fuzz_block_shape.h"
#include "tests/fuzz/fuzz_driver.h"

namespace {

// The frame the driver decoded, from what its reads returned. The driver
// gathers reads until they end in a complete frame; input that would reach
// the receive capacity is dropped and the gathering starts afresh after it.
std::string DecodedFrame(const std::vector<std::string>& reads) {
  std::string gathered;
  for (const std::string& bytes : reads) {
    if (gathered.size() + bytes.size() >= static_cast<size_t>(quorvalend::kReceiveCapacity)) {
      gathered.clear();
    } else {
      gathered += bytes;
    }
  }
  return gathered;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qvfuzz::FuzzDriver fuzz;
  qvfuzz::Reader in(data, size);
  qvfuzz::FuzzBlock block;
  qvfuzz::BuildBlock(in, &block);
  const bool pieces = in.Take<uint8_t>() % 2 == 1;
  const std::string reply(reinterpret_cast<const char*>(in.Rest()), in.RestSize());

  auto& port = fuzz.line.port;
  port.writes.clear();
  port.replies.clear();
  port.incoming.clear();
  port.readAt = 0;
  port.reads.clear();
  fuzz.line.clock.onSleep = nullptr;
  size_t sent = 0;
  if (pieces) {
    // Up to and past the receive capacity, a little at every poll.
    fuzz.line.clock.onSleep = [&] {
      if (sent < reply.size()) {
        port.Arrive(reply.substr(sent, 97));
        sent += 97;
      }
    };
  } else {
    port.replies.push_back(reply);
  }
  fuzz.object->replyTimeout = 60;
  fuzz.object->portHandle = 1;
  fuzz.object->lastError = QV_NO_ERROR;
  BlockItem before[qvfuzz::kMaxItems];
  memcpy(before, block.items, sizeof before);

  const int32_t result = fuzz.io()->lpVtbl->ExecuteBlock(fuzz.io(), &block.request);
  fuzz.line.clock.onSleep = nullptr;

  for (const std::string& frame : port.writes) {
    FUZZ_CHECK(frame.find('\0') == std::string::npos);
    FUZZ_CHECK(frame.size() == 15 || frame.size() == 17 || frame.size() == 19);
  }
  const bool wrote = !port.writes.empty();
  if (result == 0 || block.request.operation != QV_OPERATION_READ) {
    // A failure, and any write, leaves every item as it was.
    for (size_t i = 0; i < block.count; ++i) {
      FUZZ_CHECK(memcmp(&block.items[i], &before[i], sizeof(BlockItem)) == 0);
    }
    if (result == 0 && wrote) {
      const int32_t e = fuzz.object->lastError;
      FUZZ_CHECK(e == QV_ERR_RECEIVE_TIMEOUT || e == QV_ERR_BAD_DATA);
    }
    return 0;
  }
  // A good read: every item inside the range took a value from hex digits
  // of the reply, quality 192; items outside stayed as they were.
  FUZZ_CHECK(wrote);
  const BlockRequest& r = block.request;
  const std::string frame = DecodedFrame(port.reads);
  FUZZ_CHECK(frame.size() >= 2 && frame.front() == '\x06' && frame.back() == '\r');
  for (size_t i = 0; i < block.count && static_cast<int32_t>(i) < r.items.count; ++i) {
    const BlockItem& item = block.items[i];
    const bool inside = item.registerAddress >= r.startAddress && item.registerAddress <= r.endAddress;
    if (!inside) {
      FUZZ_CHECK(memcmp(&item, &before[i], sizeof(BlockItem)) == 0);
      continue;
    }
    FUZZ_CHECK(item.quality == QV_QUALITY_GOOD);
    const int32_t rel = item.registerAddress - r.startAddress;
    const size_t at = r.registerTypeIndex == QV_TYPE_INDEX_D ? 4 + 4 * rel : 4 + 2 * (rel / 10);
    const size_t digits = r.registerTypeIndex == QV_TYPE_INDEX_D ? 4 : 2;
    // Every digit lies before the frame's CR and is a hexadecimal digit.
    FUZZ_CHECK(at + digits < frame.size());
    const auto* digitsAt = reinterpret_cast<const uint8_t*>(frame.data()) + at;
    for (size_t d = 0; d < digits; ++d) FUZZ_CHECK(quorvalend::IsHexDigit(digitsAt[d]));
    // ...and the item holds the value those digits spell.
    if (digits == 4) {
      uint32_t value = 0;
      memcpy(&value, item.value, sizeof value);
      FUZZ_CHECK(value == quorvalend::HexToByte(digitsAt) * 256u + quorvalend::HexToByte(digitsAt + 2));
    } else {
      FUZZ_CHECK(item.value[0] == quorvalend::HexToByte(digitsAt));
    }
  }
  return 0;
}
