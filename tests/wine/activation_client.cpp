// A host that knows only the class identifier and the public header: the
// system's component-model code finds and loads the module through the
// registry. Exit status 0 when everything answered as it should.
#include <stdio.h>
#include <string.h>

#include "quorvalend/quorvalend.h"

#include <windows.h>

static int Check(bool ok, const char* what) {
  printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  return ok ? 0 : 1;
}

static int CheckVersion(const char* module) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(module, &ignored);
  if (size == 0) return Check(false, "version resource present");
  char data[4096];
  if (size > sizeof data || !GetFileVersionInfoA(module, 0, size, data)) return Check(false, "version readable");
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  int failures = 0;
  if (VerQueryValueA(data, "\\", reinterpret_cast<void**>(&fixed), &length) && fixed != nullptr) {
    failures += Check(fixed->dwFileVersionMS == 0x00060000 && fixed->dwFileVersionLS == 0x00010000,
                      "file version 6.0.1.0");
    failures += Check(fixed->dwProductVersionMS == 0x00060000 && fixed->dwProductVersionLS == 0,
                      "product version 6.0.0.0");
  } else {
    failures += Check(false, "fixed version info");
  }
  struct {
    const char* key;
    const char* value;
  } strings[] = {{"FileDescription", "Quorvalend DLL"},
                 {"InternalName", "Quorvalend"},
                 {"OriginalFilename", "Quorvalend.DLL"},
                 {"ProductName", "Quorvalend Dynamic Link Library"},
                 {"CompanyName", ""},
                 {"OLESelfRegister", ""}};
  for (const auto& s : strings) {
    char path[128];
    snprintf(path, sizeof path, "\\StringFileInfo\\080404B0\\%s", s.key);
    char* value = nullptr;
    UINT valueLength = 0;
    const bool found = VerQueryValueA(data, path, reinterpret_cast<void**>(&value), &valueLength) != 0;
    failures += Check(found && value != nullptr && strcmp(value, s.value) == 0, s.key);
  }
  return failures;
}

int main(int argc, char** argv) {
  int failures = 0;
  if (FAILED(CoInitialize(nullptr))) return Check(false, "CoInitialize");
  IDeviceDriver* driver = nullptr;
  const HRESULT created = CoCreateInstance(CLSID_QuorvalendPro, nullptr, CLSCTX_INPROC_SERVER, IID_IDeviceDriver,
                                           reinterpret_cast<void**>(&driver));
  failures += Check(SUCCEEDED(created) && driver != nullptr, "CoCreateInstance through the registry");
  if (driver != nullptr) {
    const RegisterTypeEntry* table = nullptr;
    int32_t rows = 0;
    failures += Check(driver->lpVtbl->GetRegisterTable(driver, 0, &table, &rows) == 1 && rows == 2 &&
                          strcmp(table[0].prefix, "D") == 0,
                      "GetRegisterTable");
    TagDefinition def{};
    strcpy(def.addressText, "M0010");
    def.dataType = QV_DATA_TYPE_BYTE;
    TagAddress address{};
    failures += Check(driver->lpVtbl->ParseTag(driver, &def, &address) == QV_PARSE_OK &&
                          address.registerAddress == 10 && address.registerTypeIndex == 1,
                      "ParseTag");
    driver->lpVtbl->Release(driver);
  }
  CoFreeUnusedLibrariesEx(0, 0);
  CoUninitialize();
  if (argc > 1) failures += CheckVersion(argv[1]);
  return failures == 0 ? 0 : 1;
}
