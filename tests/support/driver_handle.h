// A driver object made the way a host makes one (class object, then
// CreateInstance), reached only through its two tables by slot.
#pragma once

#include <gtest/gtest.h>

#include "driver/cquorvalendpro.h"
#include "module/class_object.h"
#include "tests/support/host_records.h"

namespace qvtest {

class DriverHandle {
 public:
  DriverHandle() {
    void* factory = nullptr;
    EXPECT_EQ(quorvalend::ModuleGetClassObject(&CLSID_QuorvalendPro, &kIidClassFactory(), &factory), S_OK);
    EXPECT_EQ(CallSlot<HRESULT>(factory, 3, static_cast<void*>(nullptr), &IID_IDeviceDriver, &driver_), S_OK);
    EXPECT_EQ(CallSlot<HRESULT>(driver_, slot::kQueryInterface, &IID_IDeviceIo, &io_), S_OK);
    CallSlot<ULONG>(factory, slot::kRelease);
  }
  ~DriverHandle() {
    if (io_ != nullptr) CallSlot<ULONG>(io_, slot::kRelease);
    if (driver_ != nullptr) CallSlot<ULONG>(driver_, slot::kRelease);
  }
  DriverHandle(const DriverHandle&) = delete;
  DriverHandle& operator=(const DriverHandle&) = delete;

  void* Driver() const { return driver_; }
  void* Io() const { return io_; }

  int32_t ParseTag(TagDefinitionRec& def, TagAddressRec& address) {
    return CallSlot<int32_t>(driver_, slot::kParseTag, def.data(), address.data());
  }
  int32_t CheckDeviceAddress(const char* text, int32_t* station) {
    return CallSlot<int32_t>(driver_, slot::kCheckDeviceAddress, text, station);
  }
  int32_t CanJoinBlock(TagAddressRec& tag, int32_t operation, BlockRequestRec& block) {
    return CallSlot<int32_t>(driver_, slot::kCanJoinBlock, tag.data(), operation, block.data());
  }
  int32_t OpenPort(PortSettingsRec& settings) {
    return CallSlot<int32_t>(driver_, slot::kOpenPort, 0, settings.data());
  }
  int32_t ClosePort() { return CallSlot<int32_t>(driver_, slot::kClosePort); }
  int32_t ExecuteBlock(HostBlock& block) {
    return CallSlot<int32_t>(io_, slot::kExecuteBlock, block.request.data());
  }
  int32_t SetPortHandle(intptr_t handle) {
    return CallSlot<int32_t>(io_, slot::kSetPortHandle, &handle);
  }
  intptr_t GetPortHandle() {
    intptr_t handle = 0;
    EXPECT_EQ(CallSlot<int32_t>(io_, slot::kGetPortHandle, &handle), 1);
    return handle;
  }
  const char* ErrorText() { return CallSlot<const char*>(driver_, slot::kGetErrorText); }

  // White-box: the driver's last error, which hosts see only as its text.
  int32_t LastError() const { return Object()->lastError; }
  int32_t ReplyTimeout() const { return Object()->replyTimeout; }
  // What OpenPort takes from the port settings; a driver that borrows a
  // lent handle keeps its default otherwise.
  void SetReplyTimeout(int32_t ms) { Object()->replyTimeout = ms; }

 private:
  quorvalend::CQuorvalendPro* Object() const {
    return quorvalend::CQuorvalendPro::From(static_cast<IDeviceDriver*>(driver_));
  }
  static const IID& kIidClassFactory() {
    static const IID iid = QV_DEFINE_GUID_VALUE(0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00,
                                                0x00, 0x00, 0x46);
    return iid;
  }
  void* driver_ = nullptr;
  void* io_ = nullptr;
};

}  // namespace qvtest
