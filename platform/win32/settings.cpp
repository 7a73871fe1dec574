// Settings from the registry: SOFTWARE\Quorvalend under the current user,
// else under the machine, in the 32-bit view where 64-bit Windows keeps a
// 32-bit program's values. Text or a number (REG_DWORD) is accepted.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "platform/settings.h"

namespace quorvalend {
namespace {

constexpr char kKey[] = "SOFTWARE\\Quorvalend";

bool ReadValue(HKEY root, const char* name, char* buffer, size_t size) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, kKey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) return false;
  BYTE data[520] = {};
  DWORD type = 0;
  DWORD length = sizeof data - 2;  // room for a terminator the value may lack
  const LONG status = RegQueryValueExA(key, name, nullptr, &type, data, &length);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return false;
  if (type == REG_DWORD && length == sizeof(DWORD)) {
    DWORD number = 0;
    memcpy(&number, data, sizeof number);
    snprintf(buffer, size, "%lu", static_cast<unsigned long>(number));
    return true;
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  const char* text = reinterpret_cast<const char*>(data);
  strncpy(buffer, text, size - 1);
  buffer[size - 1] = '\0';
  return true;
}

class RegistrySettings final : public SettingsSource {
 public:
  bool Read(const char* name, char* buffer, size_t size) override {
    if (size == 0) return false;
    return ReadValue(HKEY_CURRENT_USER, name, buffer, size) || ReadValue(HKEY_LOCAL_MACHINE, name, buffer, size);
  }
};

// At namespace scope: a function-local object would need a first-call
// guard, and with it the threading runtime.
RegistrySettings systemSettings;

}  // namespace

SettingsSource& SystemSettings() { return systemSettings; }

}  // namespace quorvalend
