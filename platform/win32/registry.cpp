#include <objbase.h>
#include <windows.h>

#include "platform/registry.h"

namespace quorvalend {
namespace {

class Win32ClassesRegistry final : public ClassesRegistry {
 public:
  bool QueryDefault(const char* key, char* buffer, int32_t size) override {
    LONG length = size;
    return RegQueryValueA(HKEY_CLASSES_ROOT, key, buffer, &length) == ERROR_SUCCESS;
  }
  bool SetDefault(const char* key, const char* value) override {
    return RegSetValueA(HKEY_CLASSES_ROOT, key, REG_SZ, value, static_cast<DWORD>(lstrlenA(value))) ==
           ERROR_SUCCESS;
  }
};

HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&ThisModule), &module);
  return module;
}

// At namespace scope: a function-local object would need a first-call
// guard, and with it the threading runtime.
Win32ClassesRegistry systemClassesRegistry;

}  // namespace

ClassesRegistry& SystemClassesRegistry() { return systemClassesRegistry; }

bool ModuleLongPath(char* buffer, size_t size) {
  const DWORD length = GetModuleFileNameA(ThisModule(), buffer, static_cast<DWORD>(size));
  return length > 0 && length < size;
}

bool ShortPathOf(const char* longPath, char* buffer, size_t size) {
  const DWORD length = GetShortPathNameA(longPath, buffer, static_cast<DWORD>(size));
  return length > 0 && length < size;
}

bool ClassIdToText(const void* guid16, GuidText* out) {
  LPOLESTR wide = nullptr;
  if (FAILED(StringFromCLSID(*static_cast<const CLSID*>(guid16), &wide)) || wide == nullptr) return false;
  const int written = WideCharToMultiByte(CP_ACP, 0, wide, -1, out->text, sizeof out->text, nullptr, nullptr);
  CoTaskMemFree(wide);
  return written > 0;
}

}  // namespace quorvalend
