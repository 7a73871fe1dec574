#include "tools/qvgateway/sparkplug/buffered_change.h"

#include <string.h>

namespace qvgateway {
namespace {

constexpr char kVersion = 1;
// version, quality, kind, flag, integer (8), real (8), name length (2)
constexpr size_t kFixed = 4 + 8 + 8 + 2;

void Put(std::string* out, const void* data, size_t size) { out->append(static_cast<const char*>(data), size); }

}  // namespace

std::string EncodeChange(const std::string& tag, const TagReading& reading) {
  std::string out;
  out.reserve(kFixed + tag.size());
  out += kVersion;
  out += static_cast<char>(reading.quality);
  out += static_cast<char>(reading.value.kind);
  out += static_cast<char>(reading.value.flag ? 1 : 0);
  Put(&out, &reading.value.integer, 8);
  Put(&out, &reading.value.real, 8);
  const uint16_t length = static_cast<uint16_t>(tag.size());
  Put(&out, &length, 2);
  out += tag;
  return out;
}

bool DecodeChange(const std::string& bytes, std::string* tag, TagReading* reading) {
  if (bytes.size() < kFixed || bytes[0] != kVersion) return false;
  const int quality = bytes[1], kind = bytes[2];
  if (quality < 0 || quality > static_cast<int>(Quality::Bad) || kind < 0 ||
      kind > static_cast<int>(EngineeringValue::Kind::Real)) {
    return false;
  }
  uint16_t length = 0;
  memcpy(&length, bytes.data() + 20, 2);
  if (bytes.size() != kFixed + length) return false;
  reading->quality = static_cast<Quality>(quality);
  reading->value.kind = static_cast<EngineeringValue::Kind>(kind);
  reading->value.flag = bytes[3] != 0;
  memcpy(&reading->value.integer, bytes.data() + 4, 8);
  memcpy(&reading->value.real, bytes.data() + 12, 8);
  *tag = bytes.substr(kFixed);
  return true;
}

}  // namespace qvgateway
