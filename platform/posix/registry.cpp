// A small file-backed stand-in for the classes root: one "key<TAB>value"
// line per key, at $QUORVALEND_REGISTRY, else
// $XDG_DATA_HOME/quorvalend/classes.reg, else
// ~/.local/share/quorvalend/classes.reg. Keys compare without regard to case,
// as the system's do.
#include <dlfcn.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/registry.h"

namespace quorvalend {
namespace {

std::string RegistryFile() {
  if (const char* explicitPath = getenv("QUORVALEND_REGISTRY"); explicitPath && *explicitPath) {
    return explicitPath;
  }
  std::string base;
  if (const char* data = getenv("XDG_DATA_HOME"); data && *data) {
    base = data;
  } else if (const char* home = getenv("HOME"); home && *home) {
    base = std::string(home) + "/.local/share";
  } else {
    base = "/tmp";
  }
  return base + "/quorvalend/classes.reg";
}

void MakeParents(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0755);
  }
}

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries Load(const std::string& path) {
  Entries entries;
  FILE* file = fopen(path.c_str(), "r");
  if (file == nullptr) return entries;
  char line[4096];
  while (fgets(line, sizeof line, file) != nullptr) {
    line[strcspn(line, "\n")] = '\0';
    char* tab = strchr(line, '\t');
    if (tab == nullptr) continue;
    *tab = '\0';
    entries.emplace_back(line, tab + 1);
  }
  fclose(file);
  return entries;
}

class FileClassesRegistry final : public ClassesRegistry {
 public:
  bool QueryDefault(const char* key, char* buffer, int32_t size) override {
    for (const auto& [k, v] : Load(RegistryFile())) {
      if (strcasecmp(k.c_str(), key) != 0) continue;
      if (static_cast<int32_t>(v.size()) >= size) return false;
      memcpy(buffer, v.c_str(), v.size() + 1);
      return true;
    }
    return false;
  }

  bool SetDefault(const char* key, const char* value) override {
    if (strchr(key, '\n') || strchr(key, '\t') || strchr(value, '\n')) return false;
    const std::string path = RegistryFile();
    Entries entries = Load(path);
    bool replaced = false;
    for (auto& [k, v] : entries) {
      if (strcasecmp(k.c_str(), key) == 0) {
        v = value;
        replaced = true;
      }
    }
    if (!replaced) entries.emplace_back(key, value);

    MakeParents(path);
    const std::string temporary = path + ".tmp";
    FILE* file = fopen(temporary.c_str(), "w");
    if (file == nullptr) return false;
    bool ok = true;
    for (const auto& [k, v] : entries) ok = ok && fprintf(file, "%s\t%s\n", k.c_str(), v.c_str()) > 0;
    ok = (fclose(file) == 0) && ok;
    return ok && rename(temporary.c_str(), path.c_str()) == 0;
  }
};

// At namespace scope: a function-local object would need a first-call
// guard, and with it the threading runtime.
FileClassesRegistry systemClassesRegistry;

}  // namespace

ClassesRegistry& SystemClassesRegistry() { return systemClassesRegistry; }

bool ModuleLongPath(char* buffer, size_t size) {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModuleLongPath), &info) == 0 || info.dli_fname == nullptr) return false;
  char resolved[PATH_MAX];
  const char* path = realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
  if (strlen(path) >= size) return false;
  strcpy(buffer, path);
  return true;
}

// POSIX file systems have no short names.
bool ShortPathOf(const char*, char*, size_t) { return false; }

bool ClassIdToText(const void* guid16, GuidText* out) {
  unsigned char b[16];
  memcpy(b, guid16, sizeof b);
  uint32_t d1;
  uint16_t d2, d3;
  memcpy(&d1, b, 4);
  memcpy(&d2, b + 4, 2);
  memcpy(&d3, b + 6, 2);
  snprintf(out->text, sizeof out->text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", d1, d2, d3, b[8],
           b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return true;
}

}  // namespace quorvalend
