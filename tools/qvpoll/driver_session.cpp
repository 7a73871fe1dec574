#include "tools/qvpoll/driver_session.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

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
#if defined(_WIN32)
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, sizeof path);
  std::string p = path;
  return p.substr(0, p.find_last_of("\\/") + 1);
#else
  char path[PATH_MAX] = {};
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string p = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string("./");
  return p.substr(0, p.find_last_of('/') + 1);
#endif
}

bool DriverSession::Open(const std::string& modulePath, std::string* error) {
  void* object = nullptr;
#if defined(_WIN32)
  if (modulePath.empty()) {
    comInitialized_ = SUCCEEDED(CoInitialize(nullptr));
    CLSID clsid{};
    if (FAILED(CLSIDFromProgID(L"Quorvalend.QuorvalendPro", &clsid))) {
      *error = "Quorvalend.QuorvalendPro is not registered (run regsvr32 Quorvalend.dll, or pass --module)";
      return false;
    }
    const HRESULT created = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDeviceDriver, &object);
    if (FAILED(created)) {
      *error = "CoCreateInstance failed with " + Hex(created);
      return false;
    }
  } else {
    HMODULE module = LoadLibraryA(modulePath.c_str());
    if (module == nullptr) {
      *error = "cannot load " + modulePath + " (error " + std::to_string(GetLastError()) + ")";
      return false;
    }
    module_ = module;
    auto entry = reinterpret_cast<QvDllGetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
#else
  {
    const std::string path = modulePath.empty() ? ProgramDirectory() + "Quorvalend.so" : modulePath;
    module_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module_ == nullptr) {
      *error = "cannot load " + path + ": " + dlerror();
      return false;
    }
    auto entry = reinterpret_cast<QvDllGetClassObjectFn>(dlsym(module_, "DllGetClassObject"));
#endif
    if (entry == nullptr) {
      *error = "the module has no DllGetClassObject";
      return false;
    }
    void* factory = nullptr;
    const HRESULT found = entry(CLSID_QuorvalendPro, kIidIClassFactory, &factory);
    if (FAILED(found)) {
      *error = "DllGetClassObject failed with " + Hex(found);
      return false;
    }
    auto* vtbl = *static_cast<const QvClassFactoryVtbl**>(factory);
    const HRESULT created = vtbl->CreateInstance(factory, nullptr, IID_IDeviceDriver, &object);
    vtbl->Release(factory);
    if (FAILED(created)) {
      *error = "CreateInstance failed with " + Hex(created);
      return false;
    }
  }
  driver = static_cast<IDeviceDriver*>(object);
  if (FAILED(driver->lpVtbl->QueryInterface(driver, IID_IDeviceIo, reinterpret_cast<void**>(&io)))) {
    *error = "the driver object has no IDeviceIo";
    return false;
  }
  return true;
}

DriverSession::~DriverSession() {
  if (io != nullptr) io->lpVtbl->Release(io);
  if (driver != nullptr) driver->lpVtbl->Release(driver);
#if defined(_WIN32)
  if (module_ != nullptr) FreeLibrary(static_cast<HMODULE>(module_));
  if (comInitialized_) CoUninitialize();
#else
  if (module_ != nullptr) dlclose(module_);
#endif
}

}  // namespace qvpoll
