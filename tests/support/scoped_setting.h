// A driver setting put in the system's own place for one test and taken
// away after it: an environment variable on Linux, a value under the
// current user's SOFTWARE\Quorvalend key on Windows.
#pragma once

#include <stdlib.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace qvtest {

class ScopedSetting {
 public:
  // `name` as the registry spells it ("ReplyWait"), `variable` as the
  // environment does ("QUORVALEND_REPLY_WAIT").
  ScopedSetting(const char* name, const char* variable, const std::string& value) : name_(name), variable_(variable) {
#ifdef _WIN32
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Quorvalend", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) == ERROR_SUCCESS) {
      RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1));
      RegCloseKey(key);
    }
#else
    setenv(variable, value.c_str(), 1);
#endif
  }
  ~ScopedSetting() {
#ifdef _WIN32
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Quorvalend", 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
      RegDeleteValueA(key, name_);
      RegCloseKey(key);
    }
#else
    unsetenv(variable_);
#endif
  }
  ScopedSetting(const ScopedSetting&) = delete;
  ScopedSetting& operator=(const ScopedSetting&) = delete;

 private:
  const char* name_;
  const char* variable_;
};

}  // namespace qvtest
