#include "driver/cquorvalendpro.h"

#include <new>
#include <stddef.h>

#include "addressing/block_grouping.h"
#include "addressing/register_table.h"
#include "addressing/station.h"
#include "addressing/tag_parser.h"
#include "driver/com_ids.h"
#include "driver/driver_platform.h"
#include "driver/driver_trace.h"
#include "driver/error_table.h"
#include "module/module_lock.h"

namespace quorvalend {

extern const IDeviceDriverVtbl kDeviceDriverVtbl;
extern const IDeviceIoVtbl kDeviceIoVtbl;
extern const QvDispatchVtbl kDriverDispatchVtbl;

namespace {

int failNextAllocation = 0;

template <typename Interface>
CQuorvalendPro* Owner(Interface* itf, size_t offset) {
  return reinterpret_cast<CQuorvalendPro*>(reinterpret_cast<char*>(itf) - offset);
}

}  // namespace

void FailNextDriverAllocationForTesting(int which) { failNextAllocation = which; }

CQuorvalendPro* CQuorvalendPro::Create() {
  const int fail = failNextAllocation;
  failNextAllocation = 0;
  if (fail == 1) return nullptr;
  CQuorvalendPro* object = new (std::nothrow) CQuorvalendPro;
  if (object == nullptr) return nullptr;
  object->codec = fail == 2 ? nullptr : new (std::nothrow) FrameCodec;
  if (object->codec == nullptr) {
    // No module lock was taken yet, so none is given back.
    ::operator delete(object);
    return nullptr;
  }
  object->settings = ReadDriverSettings(ActiveDriverPlatform().settings);
  object->trace = OpenTraceSink(object->settings.trace, uint64_t{object->settings.traceMaxKB} * 1024u);
  TraceCreated(object->trace, object->settings);
  LockModule();
  return object;
}

CQuorvalendPro::CQuorvalendPro()
    : dispatchTable{&kDriverDispatchVtbl},
      driverTable{&kDeviceDriverVtbl},
      ioTable{&kDeviceIoVtbl},
      refCount(1),
      lastError(QV_NO_ERROR),
      replyTimeout(kDefaultReplyTimeoutMs),
      portHandle(QV_NO_PORT),
      codec(nullptr),
      trace(nullptr),
      portLabel{} {}

CQuorvalendPro::~CQuorvalendPro() {
  // A lent handle is closed too: the borrower cannot tell it from its own.
  ClosePort();
  delete codec;
  codec = nullptr;
  delete trace;
  trace = nullptr;
  UnlockModule();
}

void CQuorvalendPro::Discard() { delete this; }

CQuorvalendPro* CQuorvalendPro::From(IDeviceDriver* itf) {
  return Owner(itf, offsetof(CQuorvalendPro, driverTable));
}
CQuorvalendPro* CQuorvalendPro::From(IDeviceIo* itf) { return Owner(itf, offsetof(CQuorvalendPro, ioTable)); }
CQuorvalendPro* CQuorvalendPro::From(QvDispatch* itf) {
  return Owner(itf, offsetof(CQuorvalendPro, dispatchTable));
}

HRESULT CQuorvalendPro::QueryInterface(const IID* iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (IsNullIdentifier(iid)) return E_POINTER;
  void* found = nullptr;
  if (SameGuid(*iid, IID_IQuorvalendPro) || SameGuid(*iid, kIidIDispatch) || SameGuid(*iid, kIidIUnknown)) {
    found = &dispatchTable;
  } else if (SameGuid(*iid, IID_IDeviceDriver)) {
    found = &driverTable;
  } else if (SameGuid(*iid, IID_IDeviceIo)) {
    found = &ioTable;
  }
  *out = found;
  if (found == nullptr) return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

ULONG CQuorvalendPro::AddRef() { return refCount.fetch_add(1) + 1; }

ULONG CQuorvalendPro::Release() {
  const ULONG count = refCount.fetch_sub(1) - 1;
  if (count == 0) delete this;
  return count;
}

int32_t CQuorvalendPro::GetRegisterTable(const RegisterTypeEntry** table, int32_t* rowCount) {
  if (table != nullptr) *table = kRegisterTable;
  if (rowCount != nullptr) *rowCount = kRegisterTableRows;
  return QV_OK;
}

int32_t CQuorvalendPro::TestDevice() {
  // The probe is built in fresh memory like a host block and handed to our
  // own slot 11 through the table, as a host would.
  constexpr int32_t kProbeListBlockSize = 10;
  BlockRequest* block = new (std::nothrow) BlockRequest{};
  QvListNode* node = new (std::nothrow) QvListNode{};
  BlockItem* item = new (std::nothrow) BlockItem{};
  int32_t result = 0;
  if (block != nullptr && node != nullptr && item != nullptr) {
    static const char kProbeName[] = "RegName";
    block->blockName = kProbeName;
    block->operation = QV_OPERATION_READ;
    item->registerAddress = 0xFFFF;
    item->hostField = 128;
    node->data = item;
    block->items.head = block->items.tail = node;
    block->items.count = 1;
    block->items.blockSize = kProbeListBlockSize;
    result = driverTable.lpVtbl->ProbeBlock(&driverTable, block) != 0 ? 1 : 0;
  }
  delete node;
  delete block;
  delete item;
  return result;
}

int32_t CQuorvalendPro::ProbeBlock(BlockRequest*) { return QV_OK; }

int32_t CQuorvalendPro::ParseTag(const TagDefinition* definition, TagAddress* address) {
  if (definition == nullptr || address == nullptr) {
    lastError = QV_ERR_REGISTER_NAME;
    return QV_PARSE_FAILED;
  }
  const TagParseResult parsed =
      ParseAddressText(definition->addressText, definition->dataType, kRegisterTable, kRegisterTableRows);
  using Reached = TagParseResult::Reached;
  if (parsed.reached != Reached::Nothing) address->registerAddress = 0;
  if (parsed.reached == Reached::AddressParsed || parsed.reached == Reached::Complete) {
    address->registerAddress = parsed.registerAddress;
    address->registerTypeIndex = parsed.typeIndex;
    address->registerRow = parsed.row;
  }
  if (parsed.reached != Reached::Complete) {
    lastError = parsed.error;
    return QV_PARSE_FAILED;
  }
  address->dataType2 = definition->dataType;
  address->dataType = definition->dataType;
  return QV_PARSE_OK;
}

int32_t CQuorvalendPro::CanJoinBlock(const TagAddress* tag, int32_t operation, BlockRequest* block) {
  if (tag == nullptr || block == nullptr) return 0;
  const GroupingKey tagKey{tag->deviceAddress, tag->registerTypeIndex, operation};
  const GroupingKey blockKey{block->deviceAddress, block->registerTypeIndex, block->operation};
  BlockRange range{block->startAddress, block->endAddress};
  if (!JoinBlock(tagKey, tag->registerAddress, blockKey, &range)) return 0;
  if (range.start != block->startAddress) block->startAddress = range.start;
  if (range.end != block->endAddress) block->endAddress = range.end;
  return 1;
}

int32_t CQuorvalendPro::CheckDeviceAddress(const char* stationText, int32_t* station) {
  if (!ParseStationNumber(stationText, station)) {
    lastError = QV_ERR_DEVICE_ADDRESS;
    return QV_FAILED;
  }
  return QV_OK;
}

const char* CQuorvalendPro::GetErrorText() {
  return lastError == QV_NO_ERROR ? nullptr : ErrorMessage(lastError);
}

}  // namespace quorvalend
