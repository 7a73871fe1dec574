#include <windows.h>

#include <stdio.h>

#include <vector>

#include "tools/host/driver_module.h"

namespace qvhost {
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
  std::string path = modulePath;
  if (path.empty()) {
    // Registered: as a data server finds it. Not registered: the DLL that
    // came with this program, as the Linux tool loads its module.
    CLSID clsid{};
    IUnknown* factory = nullptr;
    if (SUCCEEDED(CLSIDFromProgID(L"Quorvalend.QuorvalendPro", &clsid)) &&
        SUCCEEDED(CoGetClassObject(CLSID_QuorvalendPro, CLSCTX_INPROC_SERVER, nullptr, IID_IUnknown,
                                   reinterpret_cast<void**>(&factory)))) {
      factory->Release();
      byProgId_ = true;
      return true;
    }
    path = ProgramDirectory() + "Quorvalend.dll";
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
      *error = "Quorvalend.QuorvalendPro is not registered and there is no " + path +
               " (run regsvr32 Quorvalend.dll, or pass --module)";
      return false;
    }
  }
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    *error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  module_ = module;
  if (GetProcAddress(module, "DllGetClassObject") == nullptr) {
    *error = path + " has no DllGetClassObject";
    return false;
  }
  return true;
}

std::string DriverModule::Describe() {
  std::string error;
  auto object = Create(&error);
  if (object == nullptr) return "driver: " + error;
  // The file that holds the object's code, however it was found.
  HMODULE holder = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(object->driver->lpVtbl->QueryInterface), &holder);
  char loaded[MAX_PATH] = {}, path[MAX_PATH] = {};
  GetModuleFileNameA(holder, loaded, sizeof loaded);
  // Registration records the short (8.3) form; a person reads the long one.
  if (GetLongPathNameA(loaded, path, sizeof path) == 0) memcpy(path, loaded, sizeof path);
  std::string version = "no version resource";
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  std::vector<char> data(size);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (size > 0 && GetFileVersionInfoA(path, 0, size, data.data()) &&
      VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length) && length >= sizeof *fixed) {
    version = "file version " + std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
              std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." + std::to_string(HIWORD(fixed->dwFileVersionLS)) +
              "." + std::to_string(LOWORD(fixed->dwFileVersionLS));
  }
  return std::string("driver ") + path + " (" + version + "; " +
         (byProgId_ ? "registered as Quorvalend.QuorvalendPro" : "loaded by path") + ")";
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

}  // namespace qvhost
