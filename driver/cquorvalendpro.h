// The driver object: one serial line to one or more controller stations.
//
// The host reaches it only through its three interface tables, which sit at
// fixed places inside the object; every table entry recovers the object
// from the interface pointer and forwards to a member here. All interfaces
// share one reference count.
#pragma once

#include <atomic>
#include <stddef.h>
#include <stdint.h>

#include "driver/dispatch_table.h"
#include "driver/driver_settings.h"
#include "link/frame_codec.h"
#include "quorvalend/quorvalend.h"

namespace quorvalend {

class TraceSink;

class CQuorvalendPro {
 public:
  // Returns a new object holding one reference, or null when memory ran
  // out; the module lock is taken only for an object that was made.
  static CQuorvalendPro* Create();

  IDeviceDriver* DeviceDriver() { return &driverTable; }
  IDeviceIo* DeviceIo() { return &ioTable; }
  QvDispatch* Dispatch() { return &dispatchTable; }
  static CQuorvalendPro* From(IDeviceDriver* itf);
  static CQuorvalendPro* From(IDeviceIo* itf);
  static CQuorvalendPro* From(QvDispatch* itf);

  // The identifier arrives as the host passed it, possibly null.
  HRESULT QueryInterface(const IID* iid, void** out);
  ULONG AddRef();
  ULONG Release();
  // Destroys an object whose birth reference was never handed out.
  void Discard();

  // IDeviceDriver
  int32_t GetRegisterTable(const RegisterTypeEntry** table, int32_t* rowCount);
  int32_t TestDevice();
  int32_t ParseTag(const TagDefinition* definition, TagAddress* address);
  int32_t OpenPort(const PortSettings* settings);
  int32_t ClosePort();
  int32_t CanJoinBlock(const TagAddress* tag, int32_t operation, BlockRequest* block);
  int32_t ProbeBlock(BlockRequest* block);
  int32_t CheckDeviceAddress(const char* stationText, int32_t* station);
  const char* GetErrorText();

  // IDeviceIo
  int32_t ExecuteBlock(BlockRequest* block);
  int32_t SetPortHandle(const PortHandleRecord* record);
  int32_t GetPortHandle(QvPortHandle* handle);

  // The transaction's steps.
  int32_t BuildRequest(const BlockRequest* block, uint8_t* destination, int32_t* length);
  int32_t SendFrame(const uint8_t* frame, int32_t* length);
  int32_t ReceiveReply(uint8_t* buffer, int32_t* length);
  int32_t CheckReply(const BlockRequest* block, const uint8_t* reply, int32_t length);

  // Interface tables first, the dispatch interface being the identity.
  QvDispatch dispatchTable;
  IDeviceDriver driverTable;
  IDeviceIo ioTable;
  std::atomic<ULONG> refCount;

  int32_t lastError;
  int32_t replyTimeout;
  QvPortHandle portHandle;
  FrameCodec* codec;

  // The machine's driver settings, read once when the object is made.
  DriverSettings settings;
  TraceSink* trace;       // null when the trace is off
  char portLabel[40];     // the port's name, or the lent handle, for the trace

 private:
  struct Transaction;
  int32_t RunBlock(BlockRequest* block, Transaction& t);
  void SetLabel(const char* name, size_t size);

  CQuorvalendPro();
  ~CQuorvalendPro();
  CQuorvalendPro(const CQuorvalendPro&) = delete;
  CQuorvalendPro& operator=(const CQuorvalendPro&) = delete;
};

constexpr int32_t kDefaultReplyTimeoutMs = 3000;

// Test hook: the next Create fails as if memory ran out for the object (1)
// or for its codec (2); 0 lets it succeed.
void FailNextDriverAllocationForTesting(int which);

}  // namespace quorvalend
