/* Component-model base types for the Quorvalend host interfaces.
 *
 * On Windows these are the system's own headers. Elsewhere a stand-in with
 * the same layout and calling convention, so that host code, our tests and
 * our tools compile unchanged on every target. Windows and 32-bit Linux are
 * ILP32; 64-bit Linux is LP64, where these integer types keep their widths.
 */
#ifndef QUORVALEND_COM_BASE_H
#define QUORVALEND_COM_BASE_H

#include <stdint.h>

#if defined(_WIN32)
#include <objbase.h>
#include <oleauto.h>
#define QV_STDCALL __stdcall
#ifndef SELFREG_E_CLASS
#define SELFREG_E_CLASS ((HRESULT)0x80040201L)
#endif
#else

/* Only 32-bit x86 has more than one calling convention; elsewhere the
 * platform's one is the host's. */
#if defined(__i386__)
#define QV_STDCALL __attribute__((stdcall))
#else
#define QV_STDCALL
#endif

typedef int32_t HRESULT;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef int32_t BOOL;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint32_t LCID;
typedef int32_t DISPID;
typedef uint16_t VARTYPE;
typedef uint16_t OLECHAR;
typedef OLECHAR* LPOLESTR;

typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;
#ifdef __cplusplus
#define REFIID const IID&
#define REFCLSID const CLSID&
#else
#define REFIID const IID*
#define REFCLSID const CLSID*
#endif

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110L)
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111L)
#define SELFREG_E_CLASS ((HRESULT)0x80040201L)
#define DISP_E_UNKNOWNINTERFACE ((HRESULT)0x80020001L)
#define DISP_E_MEMBERNOTFOUND ((HRESULT)0x80020003L)
#define DISP_E_UNKNOWNNAME ((HRESULT)0x80020006L)
#define DISP_E_NONAMEDARGS ((HRESULT)0x80020007L)
#define DISPID_UNKNOWN ((DISPID)-1)
#define DISPID_PROPERTYPUT ((DISPID)-3)
#define VT_EMPTY 0

/* Only the parts of the automation records that the empty dispatch
 * interface touches; sizes match the system's 32-bit layout. */
typedef struct tagVARIANT {
  VARTYPE vt;
  WORD wReserved1, wReserved2, wReserved3;
  uint8_t value[8];
} VARIANT;
typedef struct tagDISPPARAMS {
  VARIANT* rgvarg;
  DISPID* rgdispidNamedArgs;
  uint32_t cArgs;
  uint32_t cNamedArgs;
} DISPPARAMS;
typedef struct tagEXCEPINFO EXCEPINFO;
typedef struct ITypeInfo ITypeInfo;

typedef struct IUnknown IUnknown;
typedef struct IUnknownVtbl {
  HRESULT(QV_STDCALL* QueryInterface)(IUnknown* self, REFIID iid, void** out);
  ULONG(QV_STDCALL* AddRef)(IUnknown* self);
  ULONG(QV_STDCALL* Release)(IUnknown* self);
} IUnknownVtbl;
struct IUnknown {
  const IUnknownVtbl* lpVtbl;
};

#endif /* _WIN32 */

#endif
