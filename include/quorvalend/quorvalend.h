/* Quorvalend driver: the binary contract with the host data server.
 *
 * Everything here is fixed by the host: the interface identifiers, the slot
 * order of the two operation tables and their argument lists (checked at
 * compile time), and the records of records.h that cross them.
 */
#ifndef QUORVALEND_QUORVALEND_H
#define QUORVALEND_QUORVALEND_H

#include <stddef.h>
#include <stdint.h>

#include "quorvalend/com_base.h"
#include "quorvalend/records.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- identifiers ------------------------------------------------------ */

#define QV_DEFINE_GUID_VALUE(l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  { l, w1, w2, { b1, b2, b3, b4, b5, b6, b7, b8 } }

/* {3BCF6E95-64BA-4383-8BAE-10972F2F5D9E} */
#define QV_CLSID_QUORVALENDPRO \
  QV_DEFINE_GUID_VALUE(0x3BCF6E95, 0x64BA, 0x4383, 0x8B, 0xAE, 0x10, 0x97, 0x2F, 0x2F, 0x5D, 0x9E)
/* {053D7DE1-318A-4EAE-9971-C526728CB693} */
#define QV_IID_IDEVICEDRIVER \
  QV_DEFINE_GUID_VALUE(0x053D7DE1, 0x318A, 0x4EAE, 0x99, 0x71, 0xC5, 0x26, 0x72, 0x8C, 0xB6, 0x93)
/* {E41FE02F-0C23-4684-A733-96CC7CE2B352} */
#define QV_IID_IDEVICEIO \
  QV_DEFINE_GUID_VALUE(0xE41FE02F, 0x0C23, 0x4684, 0xA7, 0x33, 0x96, 0xCC, 0x7C, 0xE2, 0xB3, 0x52)
/* {1DD19AA1-CEF1-4FD5-886D-E3A55E517618}: the object's own, empty, dispatch interface */
#define QV_IID_IQUORVALENDPRO \
  QV_DEFINE_GUID_VALUE(0x1DD19AA1, 0xCEF1, 0x4FD5, 0x88, 0x6D, 0xE3, 0xA5, 0x5E, 0x51, 0x76, 0x18)

static const CLSID CLSID_QuorvalendPro = QV_CLSID_QUORVALENDPRO;
static const IID IID_IDeviceDriver = QV_IID_IDEVICEDRIVER;
static const IID IID_IDeviceIo = QV_IID_IDEVICEIO;
static const IID IID_IQuorvalendPro = QV_IID_IQUORVALENDPRO;

#define QV_PROGID "Quorvalend.QuorvalendPro"

/* ---- operation tables ------------------------------------------------- */

/* Reserved arguments are pointer-wide (32 bits in the host's contract);
 * they are ignored. */
typedef intptr_t QvReserved;

typedef struct IDeviceDriver IDeviceDriver;
typedef struct IDeviceDriverVtbl {
  /* 0 */ HRESULT(QV_STDCALL* QueryInterface)(IDeviceDriver* self, REFIID iid, void** out);
  /* 1 */ ULONG(QV_STDCALL* AddRef)(IDeviceDriver* self);
  /* 2 */ ULONG(QV_STDCALL* Release)(IDeviceDriver* self);
  /* 3 */ int32_t(QV_STDCALL* GetRegisterTable)(IDeviceDriver* self, QvReserved reserved,
                                                 const RegisterTypeEntry** table, int32_t* rowCount);
  /* 4 */ int32_t(QV_STDCALL* TestDevice)(IDeviceDriver* self, QvReserved, QvReserved, QvReserved);
  /* 5 */ int32_t(QV_STDCALL* ParseTag)(IDeviceDriver* self, const TagDefinition* definition,
                                         TagAddress* address);
  /* 6 */ int32_t(QV_STDCALL* Reserved6)(IDeviceDriver* self, QvReserved, QvReserved, QvReserved);
  /* 7 */ int32_t(QV_STDCALL* OpenPort)(IDeviceDriver* self, QvReserved reserved,
                                         const PortSettings* settings);
  /* 8 */ int32_t(QV_STDCALL* ClosePort)(IDeviceDriver* self);
  /* 9 */ int32_t(QV_STDCALL* Reserved9)(IDeviceDriver* self, QvReserved, QvReserved, QvReserved);
  /* 10 */ int32_t(QV_STDCALL* CanJoinBlock)(IDeviceDriver* self, const TagAddress* tag,
                                             int32_t operation, BlockRequest* block);
  /* 11 */ int32_t(QV_STDCALL* ProbeBlock)(IDeviceDriver* self, BlockRequest* block);
  /* 12 */ int32_t(QV_STDCALL* CheckDeviceAddress)(IDeviceDriver* self, const char* stationText,
                                                   int32_t* station);
  /* 13 */ const char*(QV_STDCALL* GetErrorText)(IDeviceDriver* self);
} IDeviceDriverVtbl;
struct IDeviceDriver {
  const IDeviceDriverVtbl* lpVtbl;
};

typedef struct IDeviceIo IDeviceIo;
typedef struct IDeviceIoVtbl {
  /* 0 */ HRESULT(QV_STDCALL* QueryInterface)(IDeviceIo* self, REFIID iid, void** out);
  /* 1 */ ULONG(QV_STDCALL* AddRef)(IDeviceIo* self);
  /* 2 */ ULONG(QV_STDCALL* Release)(IDeviceIo* self);
  /* 3 */ int32_t(QV_STDCALL* ExecuteBlock)(IDeviceIo* self, BlockRequest* block);
  /* 4 */ int32_t(QV_STDCALL* SetPortHandle)(IDeviceIo* self, const PortHandleRecord* record);
  /* 5 */ int32_t(QV_STDCALL* Reserved5)(IDeviceIo* self, QvReserved, QvReserved, QvReserved);
  /* 6 */ int32_t(QV_STDCALL* GetPortHandle)(IDeviceIo* self, QvPortHandle* handle);
} IDeviceIoVtbl;
struct IDeviceIo {
  const IDeviceIoVtbl* lpVtbl;
};

#define QV_CHECK_SLOT(vtbl, op, slot) \
  QV_STATIC_ASSERT(offsetof(vtbl, op) == (slot) * sizeof(void*), #op " must be slot " #slot)
QV_CHECK_SLOT(IDeviceDriverVtbl, GetRegisterTable, 3);
QV_CHECK_SLOT(IDeviceDriverVtbl, ParseTag, 5);
QV_CHECK_SLOT(IDeviceDriverVtbl, OpenPort, 7);
QV_CHECK_SLOT(IDeviceDriverVtbl, CanJoinBlock, 10);
QV_CHECK_SLOT(IDeviceDriverVtbl, GetErrorText, 13);
QV_STATIC_ASSERT(sizeof(IDeviceDriverVtbl) == 14 * sizeof(void*), "IDeviceDriver has 14 slots");
QV_CHECK_SLOT(IDeviceIoVtbl, ExecuteBlock, 3);
QV_CHECK_SLOT(IDeviceIoVtbl, GetPortHandle, 6);
QV_STATIC_ASSERT(sizeof(IDeviceIoVtbl) == 7 * sizeof(void*), "IDeviceIo has 7 slots");

/* ---- module entry points ---------------------------------------------- */

/* The class object's table, for hosts that activate the driver through
 * DllGetClassObject themselves (Linux, or LoadLibrary on Windows). */
typedef struct QvClassFactoryVtbl {
  HRESULT(QV_STDCALL* QueryInterface)(void* self, REFIID iid, void** out);
  ULONG(QV_STDCALL* AddRef)(void* self);
  ULONG(QV_STDCALL* Release)(void* self);
  HRESULT(QV_STDCALL* CreateInstance)(void* self, void* outer, REFIID iid, void** out);
  HRESULT(QV_STDCALL* LockServer)(void* self, BOOL lock);
} QvClassFactoryVtbl;
#define QV_IID_ICLASSFACTORY \
  QV_DEFINE_GUID_VALUE(0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)

typedef HRESULT(QV_STDCALL* QvDllCanUnloadNowFn)(void);
typedef HRESULT(QV_STDCALL* QvDllGetClassObjectFn)(REFCLSID clsid, REFIID iid, void** out);
typedef HRESULT(QV_STDCALL* QvDllRegisterServerFn)(void);

#ifdef __cplusplus
}
#endif

#endif
