#include "driver/driver_settings.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace quorvalend {
namespace {

constexpr uint32_t kLargestTraceMaxKB = 4u * 1024u * 1024u;  // 4 GB

// Blanks around a value typed into a registry editor mean nothing.
void Trim(char* text) {
  size_t start = 0, end = strlen(text);
  while (start < end && isspace(static_cast<unsigned char>(text[start]))) ++start;
  while (end > start && isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  memmove(text, text + start, end - start);
  text[end - start] = '\0';
}

bool SameWord(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (tolower(static_cast<unsigned char>(*a)) != tolower(static_cast<unsigned char>(*b))) return false;
  }
  return *a == *b;
}

bool DecimalNumber(const char* text, uint32_t low, uint32_t high, uint32_t* out) {
  if (text[0] == '\0' || strlen(text) > 10) return false;
  uint64_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + static_cast<uint64_t>(*p - '0');
  }
  if (value < low || value > high) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

// An on/off setting as people write it in a registry editor or a shell:
// 1/0, yes/no, true/false, on/off, in any case.
bool OnOffWord(const char* text, bool* on) {
  static const char* const kOn[] = {"1", "yes", "true", "on"};
  static const char* const kOff[] = {"0", "no", "false", "off"};
  for (size_t i = 0; i < sizeof kOn / sizeof kOn[0]; ++i) {
    if (SameWord(text, kOn[i])) return *on = true, true;
    if (SameWord(text, kOff[i])) return *on = false, true;
  }
  return false;
}

void NoteIgnored(DriverSettings* settings, const char* name, const char* value) {
  const size_t used = strlen(settings->ignored);
  snprintf(settings->ignored + used, sizeof settings->ignored - used, "%s%s=%s", used > 0 ? " " : "", name, value);
}

const struct {
  Rs485Mode mode;
  const char* name;
} kRs485Modes[] = {{Rs485Mode::Off, "off"}, {Rs485Mode::RtsOnSend, "rts-on-send"}, {Rs485Mode::RtsAfterSend, "rts-after-send"}};

void ReadRs485(SettingsSource* source, DriverSettings* settings, char* value, size_t size) {
  if (source->Read("RS485", value, size)) {
    Trim(value);
    bool known = false;
    for (const auto& m : kRs485Modes) {
      if (SameWord(value, m.name)) {
        settings->rs485.mode = m.mode;
        known = true;
      }
    }
    if (!known) NoteIgnored(settings, "RS485", value);
  }
  const struct {
    const char* name;
    uint32_t* field;
  } kDelays[] = {{"RS485DelayBeforeUs", &settings->rs485.delayBeforeUs},
                 {"RS485DelayAfterUs", &settings->rs485.delayAfterUs}};
  for (const auto& d : kDelays) {
    if (!source->Read(d.name, value, size)) continue;
    Trim(value);
    if (!DecimalNumber(value, 0, kLongestRs485DelayUs, d.field)) NoteIgnored(settings, d.name, value);
  }
}

}  // namespace

const char* Rs485ModeName(Rs485Mode mode) {
  for (const auto& m : kRs485Modes) {
    if (m.mode == mode) return m.name;
  }
  return "?";
}

DriverSettings ReadDriverSettings(SettingsSource* source) {
  DriverSettings settings;
  if (source == nullptr) return settings;
  char value[sizeof settings.trace];

  if (source->Read("Trace", value, sizeof value)) {
    Trim(value);
    memcpy(settings.trace, value, sizeof settings.trace);
  }
  if (source->Read("ReplyWait", value, sizeof value)) {
    Trim(value);
    if (SameWord(value, "early")) settings.replyWait = ReplyWait::Early;
    else if (!SameWord(value, "poll")) NoteIgnored(&settings, "ReplyWait", value);
  }
  if (source->Read("CheckStation", value, sizeof value)) {
    Trim(value);
    if (!OnOffWord(value, &settings.checkStation)) NoteIgnored(&settings, "CheckStation", value);
  }
  if (source->Read("TraceMaxKB", value, sizeof value)) {
    Trim(value);
    if (!DecimalNumber(value, 1, kLargestTraceMaxKB, &settings.traceMaxKB)) NoteIgnored(&settings, "TraceMaxKB", value);
  }
  ReadRs485(source, &settings, value, sizeof value);
  return settings;
}

}  // namespace quorvalend
