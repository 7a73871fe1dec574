// The [[tag]] tables: a name a plant's software understands, on one
// station's registers, with the type, word order, scale, offset and unit
// that make the registers a value, when a change is worth publishing, and
// whether and within which limits it may be written.
#pragma once

#include <string>
#include <vector>

#include "tools/host/value_types.h"
#include "tools/qvgateway/line/register_rules.h"

namespace qvgateway {

class TomlTable;
struct GatewayConfig;

enum class TagType { Bool, U16, S16, Bcd, U32, S32, F32 };

struct TagConfig {
  std::string name;  // "tank1/level"
  int station = 0;   // a [[station]] number
  std::string address;
  Area area = Area::D;
  int index = 0;  // the first D register, or the M group
  int bit = -1;   // bool: the bit in the group or register
  TagType type = TagType::U16;
  qvhost::WordOrder wordOrder = qvhost::WordOrder::HighFirst;
  double scale = 1, offset = 0;
  std::string unit;
  double deadband = 0;
  bool writable = false;
  bool hasMin = false, hasMax = false;
  double min = 0, max = 0;
  int pollMs = 0;  // 0: the station's
  std::string key;  // "tag[2]", for messages
  int line = 0;     // the table's line
  int writableLine = 0;

  int Registers() const;
  // The host's value type of the raw registers (Bool has none: U16).
  qvhost::ValueType RawType() const;
};

bool ParseTagType(const std::string& text, TagType* type);
const char* TagTypeName(TagType type);

// A tag's name: letters, digits, _ - . in non-empty parts between '/'.
// False with why.
bool CheckTagName(const std::string& name, std::string* why);

// "D200", "M12" (bit 2 of group M10), "D300.4" (bit 4 of D300), checked
// against the type. False with why.
bool ParseTagAddress(const std::string& text, TagType type, TagConfig* tag, std::string* why);

// Reads every [[tag]] of `root` into `config->tags`, after the stations;
// each refusal names the key and its line.
void ReadTags(TomlTable& root, GatewayConfig* config);

}  // namespace qvgateway
