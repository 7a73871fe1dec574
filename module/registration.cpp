#include "module/registration.h"

#include <string.h>

namespace quorvalend {
namespace {

ClassesRegistry* testRegistry = nullptr;

struct Entry {
  const char* key;
  const char* value;
};

// %1 class identifier, %2 ProgID, %3 module path, %5 long type name.
const Entry kFirstGroup[] = {
    {"%2", "%5"},
    {"CLSID\\%1", "%5"},
};
const Entry kSecondGroup[] = {
    {"%2\\CLSID", "%1"},
    {"CLSID\\%1\\ProgID", "%2"},
    {"CLSID\\%1\\InProcServer32", "%3"},
};

// GBK lead bytes: the byte after one belongs to the same character.
bool IsLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

constexpr int32_t kQueryBufferSize = 256;
constexpr size_t kModulePathSize = 1024;
// A key or value: the module path and a class identifier at most.
constexpr size_t kEntryTextSize = kModulePathSize + 128;

}  // namespace

ClassesRegistry& ActiveClassesRegistry() {
  return testRegistry != nullptr ? *testRegistry : SystemClassesRegistry();
}

void SetClassesRegistryForTesting(ClassesRegistry* registry) { testRegistry = registry; }

bool SubstituteSymbols(const char* pattern, const char* const symbols[9], char* out, size_t size) {
  size_t length = 0;
  // Copies `count` bytes whole or not at all, leaving room for the end.
  auto put = [&](const char* from, size_t count) {
    if (length + count >= size) return false;
    memcpy(out + length, from, count);
    length += count;
    return true;
  };
  bool fits = size > 0;
  for (const char* p = pattern; fits && *p != '\0'; ++p) {
    if (*p == '%' && p[1] >= '1' && p[1] <= '9') {
      const char* symbol = symbols[p[1] - '1'];
      if (symbol != nullptr) fits = put(symbol, strlen(symbol));
      ++p;
    } else if (IsLeadByte(static_cast<unsigned char>(*p)) && p[1] != '\0') {
      fits = put(p, 2);
      ++p;
    } else {
      fits = put(p, 1);
    }
  }
  if (size > 0) out[length] = '\0';
  return fits;
}

bool RegisterClassEntries(ClassesRegistry& registry, const CLSID& clsid, const char* progId) {
  GuidText clsidText{};
  if (!ClassIdToText(&clsid, &clsidText)) return false;

  char longPath[kModulePathSize] = {};
  char shortPath[kModulePathSize] = {};
  const char* modulePath = "";
  if (ModuleLongPath(longPath, sizeof longPath)) {
    modulePath = ShortPathOf(longPath, shortPath, sizeof shortPath) ? shortPath : longPath;
  }
  const char* const symbols[9] = {clsidText.text, progId, modulePath, nullptr, progId,
                                  nullptr,        nullptr, nullptr,   nullptr};

  char key[kEntryTextSize];
  char value[kEntryTextSize];
  for (const Entry& entry : kFirstGroup) {
    if (!SubstituteSymbols(entry.key, symbols, key, sizeof key)) return false;
    char existing[kQueryBufferSize] = {};
    if (registry.QueryDefault(key, existing, sizeof existing)) continue;
    if (!SubstituteSymbols(entry.value, symbols, value, sizeof value) || !registry.SetDefault(key, value)) {
      return false;
    }
  }
  for (const Entry& entry : kSecondGroup) {
    if (!SubstituteSymbols(entry.key, symbols, key, sizeof key) ||
        !SubstituteSymbols(entry.value, symbols, value, sizeof value) || !registry.SetDefault(key, value)) {
      return false;
    }
  }
  return true;
}

}  // namespace quorvalend
