#include "module/class_object.h"

#include <stddef.h>

#include "driver/com_ids.h"
#include "driver/contained_call.h"
#include "module/module_lock.h"
#include "module/registration.h"
#include "platform/lock.h"

namespace quorvalend {
namespace {

HRESULT QV_STDCALL FactoryQueryInterface(QvClassFactory* self, REFIID iid, void** out) {
  return ContainedCall(E_OUTOFMEMORY, [&, id = &iid] { return ClassObject::From(self)->QueryInterface(id, out); });
}
ULONG QV_STDCALL FactoryAddRef(QvClassFactory* self) { return ClassObject::From(self)->AddRef(); }
ULONG QV_STDCALL FactoryRelease(QvClassFactory* self) { return ClassObject::From(self)->Release(); }
HRESULT QV_STDCALL FactoryCreateInstance(QvClassFactory* self, void* outer, REFIID iid, void** out) {
  return ContainedCall(E_OUTOFMEMORY,
                       [&, id = &iid] { return ClassObject::From(self)->CreateInstance(outer, id, out); });
}
HRESULT QV_STDCALL FactoryLockServer(QvClassFactory*, BOOL lock) {
  if (lock) {
    LockModule();
  } else {
    UnlockModule();
  }
  return S_OK;
}

const QvClassFactoryVtbl kFactoryVtbl = {FactoryQueryInterface, FactoryAddRef, FactoryRelease,
                                         FactoryCreateInstance, FactoryLockServer};

// The class-object list, newest first, and the lock that guards it. Both
// are set up before any constructor runs, so the class objects' own
// constructors may use them.
PlatformLock listLock;
ClassObject* listHead = nullptr;

// The application object: its initialisation step marks every class object
// with a real class identifier as available; its exit step does nothing.
class CQuorvalendApp {
 public:
  bool InitInstance() {
    LockHold hold(listLock);
    for (ClassObject* object = listHead; object != nullptr; object = object->Next()) {
      if (!SameGuid(object->ClassId(), kNullGuid)) object->MarkAvailable();
    }
    return true;
  }
};

CQuorvalendApp theApp;
ClassObject theClassObject(CLSID_QuorvalendPro, &CQuorvalendPro::Create, QV_PROGID);
[[maybe_unused]] const bool theAppInitialized = theApp.InitInstance();

}  // namespace

ClassObject::ClassObject(const CLSID& clsid, CreateFunction create, const char* progId)
    : factory_{&kFactoryVtbl}, clsid_(clsid), create_(create), progId_(progId) {
  LockHold hold(listLock);
  next_ = listHead;
  listHead = this;
}

ClassObject::~ClassObject() {
  LockHold hold(listLock);
  available_ = 0;
  for (ClassObject** link = &listHead; *link != nullptr; link = &(*link)->next_) {
    if (*link == this) {
      *link = next_;
      break;
    }
  }
}

ClassObject* ClassObject::From(QvClassFactory* factory) {
  return reinterpret_cast<ClassObject*>(reinterpret_cast<char*>(factory) - offsetof(ClassObject, factory_));
}

HRESULT ClassObject::QueryInterface(const IID* iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (IsNullIdentifier(iid)) return E_POINTER;
  if (SameGuid(*iid, kIidIUnknown) || SameGuid(*iid, kIidIClassFactory)) {
    *out = &factory_;
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

HRESULT ClassObject::CreateInstance(void* outer, const IID* iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (IsNullIdentifier(iid)) return E_INVALIDARG;
  CQuorvalendPro* object = create_();
  if (object == nullptr) return E_OUTOFMEMORY;
  if (outer != nullptr) {
    object->Discard();
    return CLASS_E_NOAGGREGATION;
  }
  if (object->QueryInterface(iid, out) != S_OK) {
    object->Discard();
    return E_NOINTERFACE;
  }
  // The caller's reference is now the only one.
  object->Release();
  return S_OK;
}

HRESULT ModuleCanUnloadNow() {
  return ContainedCall(S_FALSE, [] {
    if (ModuleLockCount() != 0) return S_FALSE;
    LockHold hold(listLock);
    for (ClassObject* object = listHead; object != nullptr; object = object->Next()) {
      if (object->RefCount() > 1) return S_FALSE;
    }
    return S_OK;
  });
}

HRESULT ModuleGetClassObject(const CLSID* clsid, const IID* iid, void** out) {
  return ContainedCall(E_OUTOFMEMORY, [&] {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (IsNullIdentifier(clsid) || IsNullIdentifier(iid)) return E_INVALIDARG;
    LockHold hold(listLock);
    for (ClassObject* object = listHead; object != nullptr; object = object->Next()) {
      if (object->Available() && SameGuid(object->ClassId(), *clsid)) return object->QueryInterface(iid, out);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
  });
}

HRESULT ModuleRegisterServer() {
  // Memory running out while the entries are built is a failure like any
  // other, reported as such; the lock is given back either way.
  return ContainedCall(E_OUTOFMEMORY, [] {
    LockHold hold(listLock);
    bool allWritten = true;
    for (ClassObject* object = listHead; object != nullptr; object = object->Next()) {
      if (object->ProgId() == nullptr) continue;
      if (!RegisterClassEntries(ActiveClassesRegistry(), object->ClassId(), object->ProgId())) allWritten = false;
    }
    // A refused write is reported, so an installer can tell.
    return allWritten ? S_OK : SELFREG_E_CLASS;
  });
}

}  // namespace quorvalend
