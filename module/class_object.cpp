#include "module/class_object.h"

#include <mutex>
#include <stddef.h>

#include "driver/com_ids.h"
#include "module/module_lock.h"
#include "module/registration.h"

namespace quorvalend {
namespace {

HRESULT QV_STDCALL FactoryQueryInterface(QvClassFactory* self, REFIID iid, void** out) {
  return ClassObject::From(self)->QueryInterface(iid, out);
}
ULONG QV_STDCALL FactoryAddRef(QvClassFactory* self) { return ClassObject::From(self)->AddRef(); }
ULONG QV_STDCALL FactoryRelease(QvClassFactory* self) { return ClassObject::From(self)->Release(); }
HRESULT QV_STDCALL FactoryCreateInstance(QvClassFactory* self, void* outer, REFIID iid, void** out) {
  return ClassObject::From(self)->CreateInstance(outer, iid, out);
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

// The class-object list, newest first, and the lock that guards it.
std::mutex& ListLock() {
  static std::mutex lock;
  return lock;
}
ClassObject*& ListHead() {
  static ClassObject* head = nullptr;
  return head;
}

// The application object: its initialisation step marks every class object
// with a real class identifier as available; its exit step does nothing.
class CQuorvalendApp {
 public:
  bool InitInstance() {
    std::lock_guard<std::mutex> hold(ListLock());
    for (ClassObject* object = ListHead(); object != nullptr; object = object->Next()) {
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
  std::lock_guard<std::mutex> hold(ListLock());
  next_ = ListHead();
  ListHead() = this;
}

ClassObject::~ClassObject() {
  std::lock_guard<std::mutex> hold(ListLock());
  available_ = 0;
  for (ClassObject** link = &ListHead(); *link != nullptr; link = &(*link)->next_) {
    if (*link == this) {
      *link = next_;
      break;
    }
  }
}

ClassObject* ClassObject::From(QvClassFactory* factory) {
  return reinterpret_cast<ClassObject*>(reinterpret_cast<char*>(factory) - offsetof(ClassObject, factory_));
}

HRESULT ClassObject::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (SameGuid(iid, kIidIUnknown) || SameGuid(iid, kIidIClassFactory)) {
    *out = &factory_;
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

HRESULT ClassObject::CreateInstance(void* outer, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
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
  if (ModuleLockCount() != 0) return S_FALSE;
  std::lock_guard<std::mutex> hold(ListLock());
  for (ClassObject* object = ListHead(); object != nullptr; object = object->Next()) {
    if (object->RefCount() > 1) return S_FALSE;
  }
  return S_OK;
}

HRESULT ModuleGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  std::lock_guard<std::mutex> hold(ListLock());
  for (ClassObject* object = ListHead(); object != nullptr; object = object->Next()) {
    if (object->Available() && SameGuid(object->ClassId(), clsid)) return object->QueryInterface(iid, out);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT ModuleRegisterServer() {
  std::lock_guard<std::mutex> hold(ListLock());
  bool allWritten = true;
  for (ClassObject* object = ListHead(); object != nullptr; object = object->Next()) {
    if (object->ProgId() == nullptr) continue;
    if (!RegisterClassEntries(ActiveClassesRegistry(), object->ClassId(), object->ProgId())) allWritten = false;
  }
  // A refused write is reported, so an installer can tell.
  return allWritten ? S_OK : SELFREG_E_CLASS;
}

}  // namespace quorvalend
