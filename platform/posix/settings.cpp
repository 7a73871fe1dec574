// Settings from the environment: "ReplyWait" is QUORVALEND_REPLY_WAIT.
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "platform/settings.h"

namespace quorvalend {
namespace {

constexpr char kPrefix[] = "QUORVALEND_";

// "TraceMaxKB" -> "QUORVALEND_TRACE_MAX_KB", "RS485DelayBeforeUs" ->
// "QUORVALEND_RS485_DELAY_BEFORE_US": a word starts where a capital follows
// a small letter or a digit.
bool VariableName(const char* name, char* out, size_t size) {
  size_t n = 0;
  for (const char* p = kPrefix; *p != '\0'; ++p) out[n++] = *p;
  for (size_t i = 0; name[i] != '\0'; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const unsigned char before = i > 0 ? static_cast<unsigned char>(name[i - 1]) : 0;
    if (i > 0 && isupper(c) && (islower(before) || isdigit(before))) {
      if (n + 1 >= size) return false;
      out[n++] = '_';
    }
    if (n + 1 >= size) return false;
    out[n++] = static_cast<char>(toupper(c));
  }
  out[n] = '\0';
  return true;
}

class EnvironmentSettings final : public SettingsSource {
 public:
  bool Read(const char* name, char* buffer, size_t size) override {
    char variable[64];
    if (size == 0 || !VariableName(name, variable, sizeof variable)) return false;
    const char* value = getenv(variable);
    if (value == nullptr) return false;
    strncpy(buffer, value, size - 1);
    buffer[size - 1] = '\0';
    return true;
  }
};

// At namespace scope: a function-local object would need a first-call
// guard, and with it the threading runtime.
EnvironmentSettings systemSettings;

}  // namespace

SettingsSource& SystemSettings() { return systemSettings; }

}  // namespace quorvalend
