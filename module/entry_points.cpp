// The module's three exports. Everything else stays inside the module.
#include "module/class_object.h"

#if defined(_WIN32)
#define QV_EXPORT extern "C"
#else
#define QV_EXPORT extern "C" __attribute__((visibility("default")))
#endif

QV_EXPORT HRESULT QV_STDCALL DllCanUnloadNow() { return quorvalend::ModuleCanUnloadNow(); }

QV_EXPORT HRESULT QV_STDCALL DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  // By address: a host may pass null identifiers, answered with a status.
  return quorvalend::ModuleGetClassObject(&clsid, &iid, out);
}

QV_EXPORT HRESULT QV_STDCALL DllRegisterServer() { return quorvalend::ModuleRegisterServer(); }
