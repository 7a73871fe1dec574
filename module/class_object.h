// The module's one class object and the state that decides when the module
// may be unloaded.
#pragma once

#include <atomic>

#include "driver/cquorvalendpro.h"
#include "quorvalend/quorvalend.h"

namespace quorvalend {

struct QvClassFactory;
struct QvClassFactoryVtbl {
  HRESULT(QV_STDCALL* QueryInterface)(QvClassFactory* self, REFIID iid, void** out);
  ULONG(QV_STDCALL* AddRef)(QvClassFactory* self);
  ULONG(QV_STDCALL* Release)(QvClassFactory* self);
  HRESULT(QV_STDCALL* CreateInstance)(QvClassFactory* self, void* outer, REFIID iid, void** out);
  HRESULT(QV_STDCALL* LockServer)(QvClassFactory* self, BOOL lock);
};
struct QvClassFactory {
  const QvClassFactoryVtbl* lpVtbl;
};

// A class object: a factory for one runtime class, linked into the module's
// list while the module is loaded.
class ClassObject {
 public:
  using CreateFunction = CQuorvalendPro* (*)();
  ClassObject(const CLSID& clsid, CreateFunction create, const char* progId);
  ~ClassObject();

  QvClassFactory* Factory() { return &factory_; }
  static ClassObject* From(QvClassFactory* factory);

  // Identifiers arrive as the host passed them, possibly null.
  HRESULT QueryInterface(const IID* iid, void** out);
  ULONG AddRef() { return refCount_.fetch_add(1) + 1; }
  // Never destroys: the class object lives as long as the module.
  ULONG Release() { return refCount_.fetch_sub(1) - 1; }
  HRESULT CreateInstance(void* outer, const IID* iid, void** out);

  const CLSID& ClassId() const { return clsid_; }
  const char* ProgId() const { return progId_; }
  ULONG RefCount() const { return refCount_.load(); }
  bool Available() const { return available_ != 0; }
  void MarkAvailable() { ++available_; }
  ClassObject* Next() const { return next_; }

 private:
  QvClassFactory factory_;  // first, so the interface pointer finds the object
  std::atomic<ULONG> refCount_{1};
  ClassObject* next_ = nullptr;
  CLSID clsid_;
  CreateFunction create_;
  const char* progId_;
  uint8_t available_ = 0;
};

// The module boundary, as the three exports and the tests reach it.
HRESULT ModuleCanUnloadNow();
// Identifiers by address, as the host passes them: either may be null.
HRESULT ModuleGetClassObject(const CLSID* clsid, const IID* iid, void** out);
HRESULT ModuleRegisterServer();

}  // namespace quorvalend
