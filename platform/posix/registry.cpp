// A small file-backed stand-in for the classes root: one "key<TAB>value"
// line per key, at $QUORVALEND_REGISTRY, else
// $XDG_DATA_HOME/quorvalend/classes.reg, else
// ~/.local/share/quorvalend/classes.reg; with none of them there is no
// classes root (never a shared folder such as /tmp, where anyone could
// have made the file first). Keys compare without regard to case, as the
// system's do. Other programs' lines are kept byte for byte, whatever they
// hold.
#include <dlfcn.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "platform/posix/classes_file.h"
#include "platform/registry.h"

namespace quorvalend {
namespace {

// Empty when there is no place for the file.
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
    return std::string();
  }
  return base + "/quorvalend/classes.reg";
}

void MakeParents(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0755);
  }
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// One line of the file: [begin, end) without its line feed.
struct Line {
  size_t begin;
  size_t end;
};

// Whether `line` is the entry of `key`: its bytes up to the first tab
// equal `key` but for case.
bool IsEntryOf(const std::string& text, Line line, const char* key, size_t keyLength, size_t* valueBegin) {
  if (line.end - line.begin <= keyLength || text[line.begin + keyLength] != '\t') return false;
  for (size_t i = 0; i < keyLength; ++i) {
    if (AsciiLower(text[line.begin + i]) != AsciiLower(key[i])) return false;
  }
  *valueBegin = line.begin + keyLength + 1;
  return true;
}

// Calls `visit(line)` for every line, the last one also without a line feed.
template <typename Visit>
void ForEachLine(const std::string& text, Visit visit) {
  for (size_t begin = 0; begin < text.size();) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    if (!visit(Line{begin, end})) return;
    begin = end + 1;
  }
}

class FileClassesRegistry final : public ClassesRegistry {
 public:
  bool QueryDefault(const char* key, char* buffer, int32_t size) override {
    const std::string path = RegistryFile();
    std::string text;
    if (path.empty() || !ReadClassesFile(path, &text)) return false;
    const size_t keyLength = strlen(key);
    bool found = false;
    ForEachLine(text, [&](Line line) {
      size_t valueBegin = 0;
      if (!IsEntryOf(text, line, key, keyLength, &valueBegin)) return true;
      const size_t length = line.end - valueBegin;
      if (length < static_cast<size_t>(size)) {
        memcpy(buffer, text.data() + valueBegin, length);
        buffer[length] = '\0';
        found = true;
      }
      return false;
    });
    return found;
  }

  bool SetDefault(const char* key, const char* value) override {
    if (strchr(key, '\n') || strchr(key, '\t') || strchr(value, '\n')) return false;
    const std::string path = RegistryFile();
    if (path.empty()) return false;
    MakeParents(path);
    ClassesFileLock lock(path);
    std::string text;
    if (!lock.Held() || !ReadClassesFile(path, &text)) return false;

    // Every line but our key's is copied as it is; our key's lines keep
    // their spelling and get the new value.
    const size_t keyLength = strlen(key);
    std::string updated;
    updated.reserve(text.size() + keyLength + strlen(value) + 2);
    bool replaced = false;
    size_t copied = 0;
    ForEachLine(text, [&](Line line) {
      size_t valueBegin = 0;
      if (IsEntryOf(text, line, key, keyLength, &valueBegin)) {
        updated.append(text, copied, valueBegin - copied);
        updated += value;
        copied = line.end;
        replaced = true;
      }
      return true;
    });
    updated.append(text, copied, std::string::npos);
    if (!replaced) {
      if (!updated.empty() && updated.back() != '\n') updated += '\n';
      updated.append(key).append(1, '\t').append(value).append(1, '\n');
    }
    return ReplaceClassesFile(path, updated);
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
