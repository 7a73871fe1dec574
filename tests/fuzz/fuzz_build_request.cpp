// BuildRequest over any block: a frame is 15, 17 or 19 bytes, free of zero
// bytes, followed by one, with a correct block check; or nothing at all.
#include "link/frame_codec.h"
#include "tests/fuzz/fuzz_block_shape.h"
#include "tests/fuzz/fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qvfuzz::FuzzDriver fuzz;
  qvfuzz::Reader in(data, size);
  qvfuzz::FuzzBlock block;
  qvfuzz::BuildBlock(in, &block);
  uint8_t frame[32];
  memset(frame, 0x77, sizeof frame);
  int32_t length = -1;
  fuzz.object->BuildRequest(&block.request, frame, &length);
  const BlockRequest& r = block.request;
  const bool known = r.registerTypeIndex == 0 || r.registerTypeIndex == 1;
  const bool hasItem = r.items.count > 0 && r.items.head != nullptr;
  if (!known || (r.operation != QV_OPERATION_READ && !hasItem)) {
    FUZZ_CHECK(length == 0);
    return 0;
  }
  FUZZ_CHECK(length == 15 || length == 17 || length == 19);
  FUZZ_CHECK((r.operation == QV_OPERATION_READ) == (length == 15));
  for (int32_t i = 0; i < length; ++i) FUZZ_CHECK(frame[i] != 0);
  FUZZ_CHECK(frame[length] == 0);
  FUZZ_CHECK(frame[0] == 0x05 && frame[length - 1] == 0x0D);
  FUZZ_CHECK(quorvalend::HexToByte(frame + length - 3) == quorvalend::BlockCheck(frame, length - 3));
  FUZZ_CHECK(quorvalend::HexToByte(frame + 1) == static_cast<uint8_t>(r.deviceAddress));
  return 0;
}
