#include "link/request_frame.h"

#include <string.h>

#include "link/frame_codec.h"
#include "quorvalend/records.h"

namespace quorvalend {

int32_t FormatRequest(const RequestShape& shape, uint8_t* destination) {
  if (shape.typeIndex != QV_TYPE_INDEX_D && shape.typeIndex != QV_TYPE_INDEX_M) return 0;
  const bool read = shape.operation == QV_OPERATION_READ;
  if (!read && !shape.hasItem) return 0;

  uint8_t frame[kLongestRequest + 1] = {};
  frame[0] = kEnq;
  ByteToHex(frame + 1, shape.station);
  frame[3] = '0';
  frame[4] = read ? 'R' : 'W';
  frame[5] = shape.typeIndex == QV_TYPE_INDEX_D ? 'D' : 'M';
  FourDigitDecimal(frame + 6, shape.start);

  int32_t bodyLength = 12;
  if (read && shape.typeIndex == QV_TYPE_INDEX_D) {
    uint32_t count = (static_cast<uint32_t>(shape.end) - static_cast<uint32_t>(shape.start) + 1u) & 0xFFu;
    if (shape.dataType == QV_DATA_TYPE_WORD) count = (2u * count) & 0xFFu;
    ByteToHex(frame + 10, static_cast<uint8_t>(count));
  } else if (read) {
    uint32_t groups = static_cast<uint32_t>(shape.end / 10 - shape.start / 10 + 1) & 0xFFu;
    ByteToHex(frame + 10, static_cast<uint8_t>(groups));
  } else if (shape.typeIndex == QV_TYPE_INDEX_D) {
    // A "D" register is 16 bits on the line whatever the host's type code.
    ByteToHex(frame + 10, 2);
    ByteToHex(frame + 12, shape.valueHigh);
    ByteToHex(frame + 14, shape.valueLow);
    bodyLength = 16;
  } else {
    ByteToHex(frame + 10, 1);
    ByteToHex(frame + 12, shape.valueLow);
    bodyLength = 14;
  }

  ByteToHex(frame + bodyLength, BlockCheck(frame, bodyLength));
  frame[bodyLength + 2] = kCr;
  const int32_t length = bodyLength + 3;
  memcpy(destination, frame, static_cast<size_t>(length) + 1);
  return length;
}

}  // namespace quorvalend
