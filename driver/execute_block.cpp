// One transaction: request out, reply in, values into the host's items.
#include <string.h>

#include "driver/cquorvalendpro.h"
#include "driver/driver_platform.h"
#include "driver/driver_trace.h"
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

// The buffers of one call and what the trace tells of it. Only what a reply
// filled is ever read, so the buffers are not cleared: two kilobytes of
// zeroes would cost more than the decode.
struct CQuorvalendPro::Transaction {
  uint8_t request[kRequestBufferSize] = {};
  uint8_t received[kReceiveCapacity];
  uint8_t reply[kReplyBufferSize + 1];
  TransactionRecord record;
};

int32_t CQuorvalendPro::ExecuteBlock(BlockRequest* block) {
  if (block == nullptr) return QV_FAILED;
  if (block->blockName != nullptr && strcmp(block->blockName, QV_COMMERR_BLOCK) == 0) return QV_OK;
  Transaction t;
  if (trace == nullptr) return RunBlock(block, t);

  Clock& clock = *ActiveDriverPlatform().clock;
  const uint64_t start = clock.Microseconds();
  const int32_t result = RunBlock(block, t);
  t.record.microseconds = clock.Microseconds() - start;
  TraceTransaction(trace, portLabel, *block, result, t.record);
  return result;
}

int32_t CQuorvalendPro::RunBlock(BlockRequest* block, Transaction& t) {
  Clock& clock = *ActiveDriverPlatform().clock;
  TransactionRecord& record = t.record;
  if (block->operation == QV_OPERATION_WRITE) clock.SleepMs(kPauseBeforeWriteMs);

  int32_t length = 0;
  BuildRequest(block, t.request, &length);
  if (length <= 0) {
    record.why = "nothing to send (a write block without an item, or an unknown area)";
    return QV_FAILED;
  }
  record.request = t.request;
  record.requestLength = length;
  if (!SendFrame(t.request, &length)) {
    // A frame the builder made is never refused, so this is the port's
    // write failing, and lastError holds the system's number.
    record.systemError = lastError;
    return QV_FAILED;
  }

  const uint32_t start = clock.TickCount();
  int32_t replyLength = 0;
  for (;;) {
    if (ReceiveReply(t.received, &replyLength)) {
      memcpy(t.reply, t.received, static_cast<size_t>(replyLength));
      t.reply[replyLength] = 0;
      record.reply = t.reply;
      record.replyLength = replyLength;
      if (!CheckReply(block, t.reply, replyLength)) {
        lastError = record.error = QV_ERR_BAD_DATA;
        record.why = t.reply[0] == kNak ? "the controller refused (NAK)" : "the controller refused (status 2)";
        return QV_FAILED;
      }
      if (settings.checkStation && !SameStation(t.request, t.reply, replyLength)) {
        lastError = record.error = QV_ERR_BAD_DATA;
        record.why = "the reply's station digits are not the request's";
        return QV_FAILED;
      }
      break;
    }
    if (WaitExpired(start, clock.TickCount(), replyTimeout)) {
      lastError = record.error = QV_ERR_RECEIVE_TIMEOUT;
      record.reply = t.received;
      record.replyLength = replyLength;
      if (replyLength > 0) record.why = "no complete reply (shown: what arrived)";
      return QV_FAILED;
    }
  }
  if (block->operation != QV_OPERATION_READ) return QV_OK;

  // Every value is checked before any item is written, so a short or
  // garbled reply leaves the whole block as it was.
  const uint8_t* reply = t.reply;
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
    lastError = record.error = QV_ERR_BAD_DATA;
    record.why = "the reply lacks the hexadecimal digits of an item";
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
