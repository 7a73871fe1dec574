// One transaction: request out, reply in, values into the host's items.
#include <string.h>

#include "driver/cquorvalendpro.h"
#include "driver/driver_platform.h"
#include "link/port_exchange.h"
#include "link/reply_decoder.h"
#include "link/request_frame.h"

namespace quorvalend {
namespace {

constexpr int32_t kRequestBufferSize = 32;
// As large as the receive buffer, so a controller that adds characters to
// its reply still fits.
constexpr int32_t kReplyBufferSize = kReceiveCapacity;
constexpr uint32_t kPauseBeforeWriteMs = 1;

BlockItem* FirstItem(const BlockRequest* block) {
  if (block->items.count <= 0 || block->items.head == nullptr) return nullptr;
  return static_cast<BlockItem*>(block->items.head->data);
}

// Calls `visit` for each item of the list, as many as the count says, but
// never through a null node or item pointer.
template <typename Visit>
void ForEachItem(const BlockRequest* block, Visit visit) {
  const QvListNode* node = block->items.head;
  for (int32_t i = 0; i < block->items.count && node != nullptr; ++i, node = node->next) {
    BlockItem* item = static_cast<BlockItem*>(node->data);
    if (item == nullptr) return;
    visit(item);
  }
}

}  // namespace

int32_t CQuorvalendPro::BuildRequest(const BlockRequest* block, uint8_t* destination, int32_t* length) {
  const BlockItem* first = FirstItem(block);
  RequestShape shape{};
  shape.station = static_cast<uint8_t>(block->deviceAddress & 0xFF);
  shape.typeIndex = block->registerTypeIndex;
  shape.dataType = block->dataType;
  shape.start = block->startAddress;
  shape.end = block->endAddress;
  shape.operation = block->operation;
  shape.hasItem = first != nullptr;
  if (first != nullptr) {
    shape.valueLow = first->value[0];
    shape.valueHigh = first->value[1];
  }
  *length = FormatRequest(shape, destination);
  return *length > 0 ? QV_OK : QV_FAILED;
}

int32_t CQuorvalendPro::CheckReply(const BlockRequest*, const uint8_t* reply, int32_t length) {
  return ReplyIsGood(reply, length) ? 1 : 0;
}

int32_t CQuorvalendPro::ExecuteBlock(BlockRequest* block) {
  if (block == nullptr) return QV_FAILED;
  if (block->blockName != nullptr && strcmp(block->blockName, QV_COMMERR_BLOCK) == 0) return QV_OK;

  Clock& clock = *ActiveDriverPlatform().clock;
  // Only what a reply filled is ever read, so the receive buffers are not
  // cleared: two kilobytes of zeroes would cost more than the decode.
  uint8_t request[kRequestBufferSize] = {};
  uint8_t received[kReceiveCapacity];
  uint8_t reply[kReplyBufferSize + 1];
  if (block->operation == QV_OPERATION_WRITE) clock.SleepMs(kPauseBeforeWriteMs);

  int32_t length = 0;
  BuildRequest(block, request, &length);
  if (length <= 0) return QV_FAILED;
  if (!SendFrame(request, &length)) return QV_FAILED;

  const uint32_t start = clock.TickCount();
  int32_t replyLength = 0;
  for (;;) {
    if (ReceiveReply(received, &replyLength)) {
      memcpy(reply, received, static_cast<size_t>(replyLength));
      reply[replyLength] = 0;
      if (!CheckReply(block, reply, replyLength)) {
        lastError = QV_ERR_BAD_DATA;
        return QV_FAILED;
      }
      break;
    }
    if (WaitExpired(start, clock.TickCount(), replyTimeout)) {
      lastError = QV_ERR_RECEIVE_TIMEOUT;
      return QV_FAILED;
    }
  }
  if (block->operation != QV_OPERATION_READ) return QV_OK;

  // Every value is checked before any item is written, so a short or
  // garbled reply leaves the whole block as it was.
  bool complete = true;
  ForEachItem(block, [&](BlockItem* item) {
    ValueLocation where{};
    if (LocateValue(block->registerTypeIndex, block->startAddress, block->endAddress, item->registerAddress,
                    &where) &&
        !ValueIsPresent(reply, replyLength, where)) {
      complete = false;
    }
  });
  if (!complete) {
    lastError = QV_ERR_BAD_DATA;
    return QV_FAILED;
  }

  const uint64_t now = clock.FileTimeNow();
  ForEachItem(block, [&](BlockItem* item) {
    ValueLocation where{};
    if (!LocateValue(block->registerTypeIndex, block->startAddress, block->endAddress, item->registerAddress,
                     &where)) {
      return;
    }
    const uint32_t value = DecodeValue(reply, where);
    if (where.digits == 4) {
      memcpy(item->value, &value, sizeof value);
    } else {
      item->value[0] = static_cast<uint8_t>(value);
    }
    item->quality = QV_QUALITY_GOOD;
    item->timestamp.low = static_cast<uint32_t>(now);
    item->timestamp.high = static_cast<uint32_t>(now >> 32);
  });
  return QV_OK;
}

}  // namespace quorvalend
