// The slot layout of the automation dispatch interface. The driver's own
// dispatch interface has no members and no type information.
#pragma once

#include "quorvalend/quorvalend.h"

namespace quorvalend {

struct QvDispatch;
struct QvDispatchVtbl {
  HRESULT(QV_STDCALL* QueryInterface)(QvDispatch* self, REFIID iid, void** out);
  ULONG(QV_STDCALL* AddRef)(QvDispatch* self);
  ULONG(QV_STDCALL* Release)(QvDispatch* self);
  HRESULT(QV_STDCALL* GetTypeInfoCount)(QvDispatch* self, unsigned* count);
  HRESULT(QV_STDCALL* GetTypeInfo)(QvDispatch* self, unsigned index, LCID locale, ITypeInfo** info);
  HRESULT(QV_STDCALL* GetIDsOfNames)(QvDispatch* self, REFIID iid, LPOLESTR* names, unsigned count,
                                     LCID locale, DISPID* ids);
  HRESULT(QV_STDCALL* Invoke)(QvDispatch* self, DISPID member, REFIID iid, LCID locale, WORD flags,
                              DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                              unsigned* argumentError);
};
struct QvDispatch {
  const QvDispatchVtbl* lpVtbl;
};

// The empty member table's answers, shared by every dispatch interface.
HRESULT EmptyGetTypeInfoCount(unsigned* count);
HRESULT EmptyGetTypeInfo(unsigned index, ITypeInfo** info);
HRESULT EmptyGetIDsOfNames(const IID* iid, unsigned count, DISPID* ids);
HRESULT EmptyInvoke(const IID* iid, const DISPPARAMS* params, VARIANT* result);

}  // namespace quorvalend
