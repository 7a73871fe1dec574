#include <dlfcn.h>
#include <limits.h>
#include <stdio.h>
#include <unistd.h>

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
  char path[PATH_MAX] = {};
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string p = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string("./");
  return p.substr(0, p.find_last_of('/') + 1);
}

DriverObject::~DriverObject() {
  io->lpVtbl->Release(io);
  driver->lpVtbl->Release(driver);
}

bool DriverModule::Load(const std::string& modulePath, std::string* error) {
  const std::string path = modulePath.empty() ? ProgramDirectory() + "Quorvalend.so" : modulePath;
  module_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module_ == nullptr) {
    *error = "cannot load " + path + ": " + dlerror();
    return false;
  }
  if (dlsym(module_, "DllGetClassObject") == nullptr) {
    *error = path + " has no DllGetClassObject";
    return false;
  }
  return true;
}

std::unique_ptr<DriverObject> DriverModule::Create(std::string* error) {
  auto entry = reinterpret_cast<QvDllGetClassObjectFn>(dlsym(module_, "DllGetClassObject"));
  void* factory = nullptr;
  const HRESULT found = entry(CLSID_QuorvalendPro, kIidIClassFactory, &factory);
  if (FAILED(found)) {
    *error = "DllGetClassObject failed with " + Hex(found);
    return nullptr;
  }
  auto* vtbl = *static_cast<const QvClassFactoryVtbl**>(factory);
  void* object = nullptr;
  const HRESULT created = vtbl->CreateInstance(factory, nullptr, IID_IDeviceDriver, &object);
  vtbl->Release(factory);
  if (FAILED(created)) {
    *error = "CreateInstance failed with " + Hex(created);
    return nullptr;
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
  if (module_ != nullptr) dlclose(module_);
}

}  // namespace qvpoll
