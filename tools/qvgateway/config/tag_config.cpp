#include "tools/qvgateway/config/tag_config.h"

#include <math.h>

#include <map>

#include "tools/qvgateway/config/config.h"
#include "tools/qvgateway/config/toml_table.h"
#include "tools/qvgateway/tags/tag_value.h"

namespace qvgateway {
namespace {

struct Named {
  const char* name;
  TagType type;
};
constexpr Named kTypes[] = {{"bool", TagType::Bool}, {"u16", TagType::U16}, {"s16", TagType::S16},
                            {"bcd", TagType::Bcd},   {"u32", TagType::U32}, {"s32", TagType::S32},
                            {"f32", TagType::F32}};

bool NameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
         c == '.';
}

// A whole decimal number without sign, at most `digits` long.
bool Digits(const std::string& text, size_t digits, int* value) {
  if (text.empty() || text.size() > digits || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *value = std::stoi(text);
  return true;
}

void ReadTag(TomlTable& t, const GatewayConfig& config, TagConfig* tag) {
  t.Allow({"name", "station", "address", "type", "word_order", "scale", "offset", "unit", "deadband", "writable",
           "min", "max", "poll_ms"});
  const KeyPlace place = t.Place("");
  tag->key = place.key;
  tag->line = place.line;
  std::string why;
  if (t.String("name", &tag->name, true) && !CheckTagName(tag->name, &why)) t.Refuse("name", why);
  if (t.Int("station", 0, 255, &tag->station, true)) {
    bool known = false;
    for (const auto& s : config.stations) known = known || s.number == tag->station;
    if (!known) {
      t.Refuse("station", "there is no [[station]] with number " + std::to_string(tag->station) +
                              ": name one of the file's stations");
    }
  }
  std::string type = "u16";
  if (t.String("type", &type, false) && !ParseTagType(type, &tag->type)) {
    t.Refuse("type", "'" + type + "' is not bool, u16, s16, bcd, u32, s32 or f32");
  }
  if (t.String("address", &tag->address, true) && !ParseTagAddress(tag->address, tag->type, tag, &why)) {
    t.Refuse("address", why);
  }
  std::string order;
  if (t.String("word_order", &order, false)) {
    if (order == "high-first") {
      tag->wordOrder = qvhost::WordOrder::HighFirst;
    } else if (order == "low-first") {
      tag->wordOrder = qvhost::WordOrder::LowFirst;
    } else {
      t.Refuse("word_order", "'" + order + "' is not high-first or low-first");
    }
    if (tag->Registers() != 2) t.Refuse("word_order", "only the 32-bit types (u32, s32, f32) have a word order");
  }
  for (const char* key : {"scale", "offset"}) {
    if (t.Has(key) && tag->type == TagType::Bool) t.Refuse(key, "a bool tag has no scale or offset");
  }
  if (t.Number("scale", &tag->scale) && tag->scale == 0) t.Refuse("scale", "must not be 0");
  t.Number("offset", &tag->offset);
  t.String("unit", &tag->unit, false);
  if (t.Number("deadband", &tag->deadband) && tag->deadband < 0) {
    t.Refuse("deadband", "must be 0 or more (engineering units)");
  }
  tag->hasMin = t.Number("min", &tag->min);
  tag->hasMax = t.Number("max", &tag->max);
  if (tag->hasMin && tag->hasMax && tag->min > tag->max) t.Refuse("max", "is below min");
  t.Int("poll_ms", 0, 3600000, &tag->pollMs);
  tag->writableLine = t.Place("writable").line;
  t.Bool("writable", &tag->writable);
  if (tag->writable && tag->type != TagType::Bool) {
    // The limits a write is checked against must themselves be writable.
    for (const char* key : {"min", "max"}) {
      const bool has = std::string(key) == "min" ? tag->hasMin : tag->hasMax;
      const double limit = std::string(key) == "min" ? tag->min : tag->max;
      double raw = 0;
      if (has && !RawNumber(*tag, limit, false, &raw, &why)) t.Refuse(key, why + ": give a limit the type can hold");
    }
  }
}

}  // namespace

int TagConfig::Registers() const { return type == TagType::U32 || type == TagType::S32 || type == TagType::F32 ? 2 : 1; }

qvhost::ValueType TagConfig::RawType() const {
  switch (type) {
    case TagType::S16: return qvhost::ValueType::S16;
    case TagType::Bcd: return qvhost::ValueType::Bcd;
    case TagType::U32: return qvhost::ValueType::U32;
    case TagType::S32: return qvhost::ValueType::S32;
    case TagType::F32: return qvhost::ValueType::F32;
    default: return qvhost::ValueType::U16;
  }
}

bool ParseTagType(const std::string& text, TagType* type) {
  for (const auto& t : kTypes) {
    if (text == t.name) {
      *type = t.type;
      return true;
    }
  }
  return false;
}

const char* TagTypeName(TagType type) {
  for (const auto& t : kTypes) {
    if (t.type == type) return t.name;
  }
  return "?";
}

bool CheckTagName(const std::string& name, std::string* why) {
  if (name.empty()) {
    *why = "is empty: name the tag, e.g. \"tank1/level\"";
    return false;
  }
  std::vector<std::string> parts{""};
  for (char c : name) {
    if (c == '/') {
      parts.emplace_back();
    } else if (!NameCharacter(c)) {
      *why = "'" + name + "' holds '" + std::string(1, c) +
             "': a name has letters, digits, _ - . and / between its parts";
      return false;
    } else {
      parts.back() += c;
    }
  }
  for (const auto& part : parts) {
    if (part.empty()) {
      *why = "'" + name + "' has an empty part (a leading, trailing or double /)";
      return false;
    }
  }
  // <prefix>/<number>/... are the register topics, and .../set,
  // .../result and .../status topics of their own.
  int number = 0;
  if (Digits(parts.front(), 9, &number)) {
    *why = "'" + name + "' begins with a number only, as the register topics do: begin it with a letter";
    return false;
  }
  const std::string& last = parts.back();
  if (last == "set" || last == "result" || last == "status") {
    *why = "'" + name + "' ends in '" + last + "', which the gateway's own topics use: choose another last part";
    return false;
  }
  return true;
}

bool ParseTagAddress(const std::string& text, TagType type, TagConfig* tag, std::string* why) {
  const size_t dot = text.find('.');
  const std::string head = text.substr(0, dot);
  int number = 0, bit = -1;
  if (head.size() < 2 || (head[0] != 'D' && head[0] != 'M') || !Digits(head.substr(1), 5, &number) ||
      (dot != std::string::npos && (head[0] != 'D' || !Digits(text.substr(dot + 1), 2, &bit)))) {
    *why = "'" + text + "' is not a register: D200, M12 (bit 2 of group M10) or D300.4 (bit 4 of D300)";
    return false;
  }
  const bool isBool = type == TagType::Bool;
  if (head[0] == 'M') {
    if (number / 10 >= kMGroups || number % 10 > 7) {
      *why = "'" + text + "' is not an M bit: M0..M8157, the last digit 0..7";
      return false;
    }
    if (!isBool) {
      *why = "'" + text + "' is an M bit: only a bool tag reads one; use a D register for " + TagTypeName(type);
      return false;
    }
    tag->area = Area::M;
    tag->index = number / 10;
    tag->bit = number % 10;
    return true;
  }
  if (bit > 15) {
    *why = "'" + text + "': a D register's bits are 0..15";
    return false;
  }
  if (isBool != (bit >= 0)) {
    *why = isBool ? "'" + text + "': a bool tag is one bit: an M bit (M12) or a D register's bit (D300.4)"
                  : "'" + text + "' is one bit: only a bool tag reads one";
    return false;
  }
  const int registers = type == TagType::U32 || type == TagType::S32 || type == TagType::F32 ? 2 : 1;
  if (number + registers > kDRegisters) {
    *why = "'" + text + "' is past the last D register (D" + std::to_string(kDRegisters - 1) + ")" +
           (registers == 2 ? ": a 32-bit value takes two registers" : "");
    return false;
  }
  tag->area = Area::D;
  tag->index = number;
  tag->bit = bit;
  return true;
}

void ReadTags(TomlTable& root, GatewayConfig* config) {
  std::vector<TomlTable> tables = root.Tables("tag");
  config->tags.resize(tables.size());
  std::map<std::string, int> names;  // name: its line
  for (size_t i = 0; i < tables.size(); ++i) {
    TagConfig& tag = config->tags[i];
    ReadTag(tables[i], *config, &tag);
    if (tag.name.empty()) continue;
    auto same = names.find(tag.name);
    if (same != names.end()) {
      tables[i].Refuse("name", "'" + tag.name + "' is already a tag's name at line " + std::to_string(same->second));
    } else {
      names.emplace(tag.name, tables[i].Place("name").line);
    }
  }
  // A tag's scan class defaults to its station's period; the station's
  // blocks are then read at the fastest any of its tags asks for.
  for (TagConfig& tag : config->tags) {
    for (StationConfig& station : config->stations) {
      if (station.number != tag.station) continue;
      if (tag.pollMs == 0) tag.pollMs = station.pollMs;
    }
  }
  for (StationConfig& station : config->stations) {
    for (const TagConfig& tag : config->tags) {
      if (tag.station == station.number && tag.pollMs > 0 && (station.pollMs == 0 || tag.pollMs < station.pollMs)) {
        station.pollMs = tag.pollMs;
      }
    }
  }
}

}  // namespace qvgateway
