#include "driver/dispatch_table.h"

#include "driver/com_ids.h"

namespace quorvalend {

HRESULT EmptyGetTypeInfoCount(unsigned* count) {
  if (count != nullptr) *count = 0;
  return S_OK;
}

HRESULT EmptyGetTypeInfo(unsigned index, ITypeInfo** info) {
  if (info != nullptr) *info = nullptr;
  return index != 0 ? E_INVALIDARG : E_NOTIMPL;
}

HRESULT EmptyGetIDsOfNames(const IID* iid, unsigned count, DISPID* ids) {
  if (IsNullIdentifier(iid)) return E_INVALIDARG;
  if (!SameGuid(*iid, kNullGuid)) return DISP_E_UNKNOWNINTERFACE;
  if (ids != nullptr) {
    // The first slot is answered even when no name is passed.
    ids[0] = DISPID_UNKNOWN;
    for (unsigned i = 1; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  }
  return DISP_E_UNKNOWNNAME;
}

HRESULT EmptyInvoke(const IID* iid, const DISPPARAMS* params, VARIANT* result) {
  if (result != nullptr) {
    result->vt = VT_EMPTY;
  }
  if (IsNullIdentifier(iid)) return E_INVALIDARG;
  if (!SameGuid(*iid, kNullGuid)) return DISP_E_UNKNOWNINTERFACE;
  if (params != nullptr && params->cNamedArgs != 0) {
    const bool propertyPut = params->cNamedArgs == 1 && params->rgdispidNamedArgs != nullptr &&
                             params->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT;
    if (!propertyPut) return DISP_E_NONAMEDARGS;
  }
  return DISP_E_MEMBERNOTFOUND;
}

}  // namespace quorvalend
