#include "addressing/station.h"

namespace quorvalend {
namespace {

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

constexpr uint32_t kHighestPlainStation = 31;
constexpr uint32_t kBroadcastStation = 255;

}  // namespace

bool ParseStationNumber(const char* text, int32_t* station) {
  uint32_t value = 0;
  if (text != nullptr) {
    const char* p = text;
    while (IsSpace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<uint32_t>(*p - '0');
    if (negative) value = 0u - value;
  }
  uint32_t reduced = value & 0xFFFFu;
  if (reduced > kHighestPlainStation && reduced != kBroadcastStation) return false;
  if (station != nullptr) *station = static_cast<int32_t>(reduced);
  return true;
}

}  // namespace quorvalend
