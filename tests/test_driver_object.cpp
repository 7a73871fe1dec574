// The driver object's identity, reference count, lifecycle and the
// operations that only answer.
#include "tests/support/driver_handle.h"
#include "tests/support/fake_line.h"

#include "module/module_lock.h"

namespace qvtest {
namespace {

const IID kIidIUnknown = QV_DEFINE_GUID_VALUE(0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
const IID kIidIDispatch = QV_DEFINE_GUID_VALUE(0x00020400, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
const IID kIidOther = QV_DEFINE_GUID_VALUE(0x12345678, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);

void* Query(void* itf, const IID& iid, HRESULT* status) {
  void* out = reinterpret_cast<void*>(0x1);
  *status = CallSlot<HRESULT>(itf, slot::kQueryInterface, &iid, &out);
  return out;
}

ULONG RefCount(void* itf) {
  CallSlot<ULONG>(itf, slot::kAddRef);
  return CallSlot<ULONG>(itf, slot::kRelease);
}

TEST(DriverObject, EveryInterfaceAnswersFromOneTableWithOneCount) {
  DriverHandle driver;  // holds the driver and io interfaces: count 2
  EXPECT_EQ(RefCount(driver.Driver()), 2u);

  HRESULT status = 0;
  void* dispatch = Query(driver.Driver(), IID_IQuorvalendPro, &status);
  ASSERT_EQ(status, S_OK);
  EXPECT_EQ(RefCount(driver.Io()), 3u);

  for (void* from : {driver.Driver(), driver.Io(), dispatch}) {
    void* unknown = Query(from, kIidIUnknown, &status);
    EXPECT_EQ(status, S_OK);
    EXPECT_EQ(unknown, dispatch) << "IUnknown is the dispatch interface";
    CallSlot<ULONG>(unknown, slot::kRelease);

    void* idispatch = Query(from, kIidIDispatch, &status);
    EXPECT_EQ(idispatch, dispatch);
    CallSlot<ULONG>(idispatch, slot::kRelease);

    void* d = Query(from, IID_IDeviceDriver, &status);
    EXPECT_EQ(d, driver.Driver());
    CallSlot<ULONG>(d, slot::kRelease);

    void* io = Query(from, IID_IDeviceIo, &status);
    EXPECT_EQ(io, driver.Io());
    CallSlot<ULONG>(io, slot::kRelease);

    void* none = Query(from, kIidOther, &status);
    EXPECT_EQ(status, E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
  }
  EXPECT_EQ(RefCount(driver.Driver()), 3u);
  CallSlot<ULONG>(dispatch, slot::kRelease);
}

TEST(DriverObject, ConstructionTakesTheModuleLockAndDestructionGivesItBack) {
  const int32_t before = quorvalend::ModuleLockCount();
  {
    DriverHandle first;
    DriverHandle second;
    EXPECT_EQ(quorvalend::ModuleLockCount(), before + 2);
  }
  EXPECT_EQ(quorvalend::ModuleLockCount(), before);
}

TEST(DriverObject, StartsWithNoErrorTheDefaultTimeoutAndNoPort) {
  DriverHandle driver;
  EXPECT_EQ(driver.ErrorText(), nullptr);
  EXPECT_EQ(driver.LastError(), -1);
  EXPECT_EQ(driver.ReplyTimeout(), 3000);
  EXPECT_EQ(driver.GetPortHandle(), -1);
}

TEST(DriverObject, TestDeviceProbesWithoutAPortAndSendsNothing) {
  FakeLine line;
  DriverHandle driver;
  EXPECT_EQ(CallSlot<int32_t>(driver.Driver(), slot::kTestDevice, 1, 2, 3), 1);
  EXPECT_TRUE(line.port.writes.empty());
  EXPECT_EQ(driver.LastError(), -1);
}

TEST(DriverObject, ReservedOperationsAndTheProbeAcceptAnything) {
  DriverHandle driver;
  BlockRequestRec block;
  EXPECT_EQ(CallSlot<int32_t>(driver.Driver(), slot::kReserved6, 7, 8, 9), 1);
  EXPECT_EQ(CallSlot<int32_t>(driver.Driver(), slot::kReserved9, -1, 0, 0x7FFFFFFF), 1);
  EXPECT_EQ(CallSlot<int32_t>(driver.Io(), slot::kReserved5, 0, 0, 0), 1);
  const BlockRequestRec before = block;
  EXPECT_EQ(CallSlot<int32_t>(driver.Driver(), slot::kProbeBlock, block.data()), 1);
  EXPECT_EQ(memcmp(before.bytes, block.bytes, sizeof block.bytes), 0);
  EXPECT_EQ(driver.LastError(), -1);
}

TEST(DriverObject, ReleasingTheLastReferenceClosesEvenALentHandle) {
  FakeLine line;
  PortSettingsRec settings(0);
  settings.PutText(port_settings::kName, "COM7", 32);
  settings.Put32(port_settings::kBaud, 9600);
  settings.Put8(port_settings::kDataBits, 8);
  intptr_t lent = 0;
  {
    DriverHandle owner;
    ASSERT_EQ(owner.OpenPort(settings), 1);
    lent = owner.GetPortHandle();
    {
      DriverHandle borrower;
      ASSERT_EQ(borrower.SetPortHandle(lent), 1);
      EXPECT_EQ(borrower.GetPortHandle(), lent);
    }
    ASSERT_EQ(line.port.closed.size(), 1u);
    EXPECT_EQ(line.port.closed[0], lent);
    ASSERT_EQ(owner.SetPortHandle(-1), 1);  // the owner knows its handle is gone
  }
  EXPECT_EQ(line.port.closed.size(), 1u);
}

}  // namespace
}  // namespace qvtest
