#include <windows.h>

#include <stdio.h>

#include "tools/qvpoll/driver_module.h"

namespace qvpoll {
namespace {

const IID kIidIClassFactory = QV_IID_ICLASSFACTORY;

std::string Hex(HRESULT status) {
  char text[16];
  snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
  return text;
}

}  // namespace

std::string ProgramDirectory() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, sizeof path);
  std::string p = path;
  return p.substr(0, p.find_last_of("\\/") + 1);
}

DriverObject::~DriverObject() {
  io->lpVtbl->Release(io);
  driver->lpVtbl->Release(driver);
}

bool DriverModule::Load(const std::string& modulePath, std::string* error) {
  comInitialized_ = SUCCEEDED(CoInitialize(nullptr));
  if (modulePath.empty()) {
    CLSID clsid{};
    if (FAILED(CLSIDFromProgID(L"Quorvalend.QuorvalendPro", &clsid))) {
      *error = "Quorvalend.QuorvalendPro is not registered (run regsvr32 Quorvalend.dll, or pass --module)";
      return false;
    }
    byProgId_ = true;
    return true;
  }
  HMODULE module = LoadLibraryA(modulePath.c_str());
  if (module == nullptr) {
    *error = "cannot load " + modulePath + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  module_ = module;
  if (GetProcAddress(module, "DllGetClassObject") == nullptr) {
    *error = modulePath + " has no DllGetClassObject";
    return false;
  }
  return true;
}

std::unique_ptr<DriverObject> DriverModule::Create(std::string* error) {
  void* object = nullptr;
  if (byProgId_) {
    const HRESULT created = CoCreateInstance(CLSID_QuorvalendPro, nullptr, CLSCTX_INPROC_SERVER, IID_IDeviceDriver,
                                             &object);
    if (FAILED(created)) {
      *error = "CoCreateInstance failed with " + Hex(created);
      return nullptr;
    }
  } else {
    auto entry = reinterpret_cast<QvDllGetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module_), "DllGetClassObject")));
    void* factory = nullptr;
    const HRESULT found = entry(CLSID_QuorvalendPro, kIidIClassFactory, &factory);
    if (FAILED(found)) {
      *error = "DllGetClassObject failed with " + Hex(found);
      return nullptr;
    }
    auto* vtbl = *static_cast<const QvClassFactoryVtbl**>(factory);
    const HRESULT created = vtbl->CreateInstance(factory, nullptr, IID_IDeviceDriver, &object);
    vtbl->Release(factory);
    if (FAILED(created)) {
      *error = "CreateInstance failed with " + Hex(created);
      return nullptr;
    }
  }
  auto* driver = static_cast<IDeviceDriver*>(object);
  IDeviceIo* io = nullptr;
  if (FAILED(driver->lpVtbl->QueryInterface(driver, IID_IDeviceIo, reinterpret_cast<void**>(&io)))) {
    driver->lpVtbl->Release(driver);
    *error = "the driver object has no IDeviceIo";
    return nullptr;
  }
  return std::make_unique<DriverObject>(driver, io);
}

DriverModule::~DriverModule() {
  if (module_ != nullptr) FreeLibrary(static_cast<HMODULE>(module_));
  if (comInitialized_) CoUninitialize();
}

}  // namespace qvpoll
