// The host's view of a driver object: three tables of __stdcall entries in
// the host's slot order. Each entry recovers the object and forwards, and
// answers its failure value rather than let an exception out. AddRef and
// Release are an atomic step each and cannot throw.
#include "driver/contained_call.h"
#include "driver/cquorvalendpro.h"

namespace quorvalend {
namespace {

template <typename Itf>
CQuorvalendPro* Self(Itf* itf) {
  return CQuorvalendPro::From(itf);
}

// ---- IDeviceDriver ----
HRESULT QV_STDCALL DriverQueryInterface(IDeviceDriver* self, REFIID iid, void** out) {
  return ContainedCall(E_OUTOFMEMORY, [&, id = &iid] { return Self(self)->QueryInterface(id, out); });
}
ULONG QV_STDCALL DriverAddRef(IDeviceDriver* self) { return Self(self)->AddRef(); }
ULONG QV_STDCALL DriverRelease(IDeviceDriver* self) { return Self(self)->Release(); }
int32_t QV_STDCALL DriverGetRegisterTable(IDeviceDriver* self, QvReserved, const RegisterTypeEntry** table,
                                          int32_t* rowCount) {
  return ContainedCall(int32_t{0}, [&] { return Self(self)->GetRegisterTable(table, rowCount); });
}
int32_t QV_STDCALL DriverTestDevice(IDeviceDriver* self, QvReserved, QvReserved, QvReserved) {
  return ContainedCall(int32_t{0}, [&] { return Self(self)->TestDevice(); });
}
int32_t QV_STDCALL DriverParseTag(IDeviceDriver* self, const TagDefinition* definition, TagAddress* address) {
  return ContainedCall(QV_PARSE_FAILED, [&] { return Self(self)->ParseTag(definition, address); });
}
int32_t QV_STDCALL DriverReserved(IDeviceDriver*, QvReserved, QvReserved, QvReserved) { return QV_OK; }
int32_t QV_STDCALL DriverOpenPort(IDeviceDriver* self, QvReserved, const PortSettings* settings) {
  return ContainedCall(int32_t{0}, [&] { return Self(self)->OpenPort(settings); });
}
int32_t QV_STDCALL DriverClosePort(IDeviceDriver* self) {
  return ContainedCall(int32_t{0}, [&] { return Self(self)->ClosePort(); });
}
int32_t QV_STDCALL DriverCanJoinBlock(IDeviceDriver* self, const TagAddress* tag, int32_t operation,
                                      BlockRequest* block) {
  return ContainedCall(int32_t{0}, [&] { return Self(self)->CanJoinBlock(tag, operation, block); });
}
int32_t QV_STDCALL DriverProbeBlock(IDeviceDriver* self, BlockRequest* block) {
  return ContainedCall(int32_t{0}, [&] { return Self(self)->ProbeBlock(block); });
}
int32_t QV_STDCALL DriverCheckDeviceAddress(IDeviceDriver* self, const char* text, int32_t* station) {
  return ContainedCall(int32_t{0}, [&] { return Self(self)->CheckDeviceAddress(text, station); });
}
const char* QV_STDCALL DriverGetErrorText(IDeviceDriver* self) {
  return ContainedCall(static_cast<const char*>(nullptr), [&] { return Self(self)->GetErrorText(); });
}

// ---- IDeviceIo ----
HRESULT QV_STDCALL IoQueryInterface(IDeviceIo* self, REFIID iid, void** out) {
  return ContainedCall(E_OUTOFMEMORY, [&, id = &iid] { return Self(self)->QueryInterface(id, out); });
}
ULONG QV_STDCALL IoAddRef(IDeviceIo* self) { return Self(self)->AddRef(); }
ULONG QV_STDCALL IoRelease(IDeviceIo* self) { return Self(self)->Release(); }
int32_t QV_STDCALL IoExecuteBlock(IDeviceIo* self, BlockRequest* block) {
  return ContainedCall(int32_t{0}, [&] { return Self(self)->ExecuteBlock(block); });
}
int32_t QV_STDCALL IoSetPortHandle(IDeviceIo* self, const PortHandleRecord* record) {
  return ContainedCall(int32_t{0}, [&] { return Self(self)->SetPortHandle(record); });
}
int32_t QV_STDCALL IoReserved5(IDeviceIo*, QvReserved, QvReserved, QvReserved) { return QV_OK; }
int32_t QV_STDCALL IoGetPortHandle(IDeviceIo* self, QvPortHandle* handle) {
  return ContainedCall(int32_t{0}, [&] { return Self(self)->GetPortHandle(handle); });
}

// ---- the object's own, empty, dispatch interface ----
HRESULT QV_STDCALL DispatchQueryInterface(QvDispatch* self, REFIID iid, void** out) {
  return ContainedCall(E_OUTOFMEMORY, [&, id = &iid] { return Self(self)->QueryInterface(id, out); });
}
ULONG QV_STDCALL DispatchAddRef(QvDispatch* self) { return Self(self)->AddRef(); }
ULONG QV_STDCALL DispatchRelease(QvDispatch* self) { return Self(self)->Release(); }
HRESULT QV_STDCALL DispatchGetTypeInfoCount(QvDispatch*, unsigned* count) {
  return ContainedCall(E_OUTOFMEMORY, [&] { return EmptyGetTypeInfoCount(count); });
}
HRESULT QV_STDCALL DispatchGetTypeInfo(QvDispatch*, unsigned index, LCID, ITypeInfo** info) {
  return ContainedCall(E_OUTOFMEMORY, [&] { return EmptyGetTypeInfo(index, info); });
}
HRESULT QV_STDCALL DispatchGetIDsOfNames(QvDispatch*, REFIID iid, LPOLESTR*, unsigned count, LCID,
                                         DISPID* ids) {
  return ContainedCall(E_OUTOFMEMORY, [&, id = &iid] { return EmptyGetIDsOfNames(id, count, ids); });
}
HRESULT QV_STDCALL DispatchInvoke(QvDispatch*, DISPID, REFIID iid, LCID, WORD, DISPPARAMS* params,
                                  VARIANT* result, EXCEPINFO*, unsigned*) {
  return ContainedCall(E_OUTOFMEMORY, [&, id = &iid] { return EmptyInvoke(id, params, result); });
}

}  // namespace

extern const IDeviceDriverVtbl kDeviceDriverVtbl = {
    DriverQueryInterface, DriverAddRef,       DriverRelease,     DriverGetRegisterTable, DriverTestDevice,
    DriverParseTag,       DriverReserved,     DriverOpenPort,    DriverClosePort,        DriverReserved,
    DriverCanJoinBlock,   DriverProbeBlock,   DriverCheckDeviceAddress, DriverGetErrorText,
};

extern const IDeviceIoVtbl kDeviceIoVtbl = {
    IoQueryInterface, IoAddRef, IoRelease, IoExecuteBlock, IoSetPortHandle, IoReserved5, IoGetPortHandle,
};

extern const QvDispatchVtbl kDriverDispatchVtbl = {
    DispatchQueryInterface, DispatchAddRef,        DispatchRelease, DispatchGetTypeInfoCount,
    DispatchGetTypeInfo,    DispatchGetIDsOfNames, DispatchInvoke,
};

}  // namespace quorvalend
