#include "tools/common/number_text.h"

namespace qvtools {
namespace {

constexpr int64_t kLargest = INT64_C(1) << 40;  // far past any option's range, far from overflow

bool Digits(const std::string& text, size_t from, int base, int64_t* value) {
  if (from >= text.size()) return false;
  int64_t v = 0;
  for (size_t i = from; i < text.size(); ++i) {
    const char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    v = v * base + digit;
    if (v > kLargest) v = kLargest;
  }
  *value = v;
  return true;
}

bool Hex(const std::string& text) { return text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'); }

bool Read(const std::string& text, bool hexAllowed, int64_t* value) {
  if (hexAllowed && Hex(text)) return Digits(text, 2, 16, value);
  return Digits(text, 0, 10, value);
}

}  // namespace

bool ParseNumber(const std::string& text, int64_t low, int64_t high, int64_t* value) {
  int64_t v = 0;
  if (!Read(text, true, &v) || v < low || v > high) return false;
  *value = v;
  return true;
}

bool ParseDecimal(const std::string& text, int64_t low, int64_t high, int64_t* value) {
  int64_t v = 0;
  if (!Read(text, false, &v) || v < low || v > high) return false;
  *value = v;
  return true;
}

std::string NumberProblem(const std::string& text, int64_t low, int64_t high, bool hexAllowed) {
  int64_t v = 0;
  const std::string range = std::to_string(low) + ".." + std::to_string(high);
  if (!Read(text, hexAllowed, &v)) {
    return "'" + text + "' is not a number (" + (hexAllowed ? "decimal, or hex with 0x" : "decimal digits") +
           ", " + range + ")";
  }
  return "'" + text + "' is outside " + range;
}

}  // namespace qvtools
