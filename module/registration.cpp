#include "module/registration.h"

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

}  // namespace

ClassesRegistry& ActiveClassesRegistry() {
  return testRegistry != nullptr ? *testRegistry : SystemClassesRegistry();
}

void SetClassesRegistryForTesting(ClassesRegistry* registry) { testRegistry = registry; }

std::string SubstituteSymbols(const char* pattern, const char* const symbols[9]) {
  std::string out;
  for (const char* p = pattern; *p != '\0'; ++p) {
    if (*p == '%' && p[1] >= '1' && p[1] <= '9') {
      const char* symbol = symbols[p[1] - '1'];
      if (symbol != nullptr) out += symbol;
      ++p;
    } else if (IsLeadByte(static_cast<unsigned char>(*p)) && p[1] != '\0') {
      out += p[0];
      out += p[1];
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

bool RegisterClassEntries(ClassesRegistry& registry, const CLSID& clsid, const char* progId) {
  GuidText clsidText{};
  if (!ClassIdToText(&clsid, &clsidText)) return false;

  char longPath[1024] = {};
  char shortPath[1024] = {};
  const char* modulePath = "";
  if (ModuleLongPath(longPath, sizeof longPath)) {
    modulePath = ShortPathOf(longPath, shortPath, sizeof shortPath) ? shortPath : longPath;
  }
  const char* const symbols[9] = {clsidText.text, progId, modulePath, nullptr, progId,
                                  nullptr,        nullptr, nullptr,   nullptr};

  for (const Entry& entry : kFirstGroup) {
    const std::string key = SubstituteSymbols(entry.key, symbols);
    char existing[kQueryBufferSize] = {};
    if (registry.QueryDefault(key.c_str(), existing, sizeof existing)) continue;
    if (!registry.SetDefault(key.c_str(), SubstituteSymbols(entry.value, symbols).c_str())) return false;
  }
  for (const Entry& entry : kSecondGroup) {
    if (!registry.SetDefault(SubstituteSymbols(entry.key, symbols).c_str(),
                             SubstituteSymbols(entry.value, symbols).c_str())) {
      return false;
    }
  }
  return true;
}

}  // namespace quorvalend
