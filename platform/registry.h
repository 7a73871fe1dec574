// The key tree under which in-process servers are registered (the classes
// root), and the module's own path. Default values only: self-registration
// writes no named value.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace quorvalend {

class ClassesRegistry {
 public:
  virtual ~ClassesRegistry() = default;
  // Reads the default value of `key` into `buffer`; false when it has none.
  virtual bool QueryDefault(const char* key, char* buffer, int32_t size) = 0;
  // Writes the default value of `key` as a string, creating the key.
  virtual bool SetDefault(const char* key, const char* value) = 0;
};

ClassesRegistry& SystemClassesRegistry();

// The full path of the module file that holds this code; false when unknown.
bool ModuleLongPath(char* buffer, size_t size);
// The short (8.3) form of `longPath`; false where there is none.
bool ShortPathOf(const char* longPath, char* buffer, size_t size);

struct GuidText {
  char text[39];  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
};
// The class identifier as the system writes it; false when it cannot.
bool ClassIdToText(const void* guid16, GuidText* out);

}  // namespace quorvalend
