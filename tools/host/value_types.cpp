#include "tools/host/value_types.h"

#include <math.h>
#include <string.h>

#include <charconv>

#include "tools/common/number_text.h"

namespace qvhost {
namespace {

struct Named {
  const char* name;
  ValueType type;
};
constexpr Named kTypes[] = {{"u16", ValueType::U16}, {"s16", ValueType::S16}, {"hex", ValueType::Hex},
                            {"bcd", ValueType::Bcd}, {"bits", ValueType::Bits}, {"u32", ValueType::U32},
                            {"s32", ValueType::S32}, {"f32", ValueType::F32}};

std::string Hex(uint32_t value, int digits) {
  char text[16];
  snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

// Decimal with an optional minus, or raw bits in 0x-hex.
bool Signed(const std::string& text, int64_t low, int64_t high, uint32_t mask, uint32_t* raw, std::string* problem) {
  int64_t v = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    if (!qvtools::ParseNumber(text, 0, mask, &v)) {
      *problem = qvtools::NumberProblem(text, 0, mask);
      return false;
    }
  } else {
    const bool minus = !text.empty() && text[0] == '-';
    const std::string digits = minus ? text.substr(1) : text;
    if (!qvtools::ParseDecimal(digits, 0, minus ? -low : high, &v)) {
      int64_t any = 0;
      *problem = qvtools::ParseDecimal(digits, 0, INT64_MAX / 4, &any)
                     ? "'" + text + "' is outside " + std::to_string(low) + ".." + std::to_string(high)
                     : "'" + text + "' is not a number (decimal with an optional -, or hex bits with 0x)";
      return false;
    }
    if (minus) v = -v;
  }
  *raw = static_cast<uint32_t>(v) & mask;
  return true;
}

bool Unsigned(const std::string& text, int64_t high, uint32_t* raw, std::string* problem) {
  int64_t v = 0;
  if (!qvtools::ParseNumber(text, 0, high, &v)) {
    *problem = qvtools::NumberProblem(text, 0, high);
    int64_t magnitude = 0;
    if (text.size() > 1 && text[0] == '-' && qvtools::ParseDecimal(text.substr(1), 0, INT64_MAX / 4, &magnitude)) {
      *problem = "'" + text + "' is negative, and this type holds 0.." + std::to_string(high) +
                 std::string(": a negative value needs a signed type, --type ") + (high > 0xFFFF ? "s32" : "s16");
    }
    return false;
  }
  *raw = static_cast<uint32_t>(v);
  return true;
}

constexpr const char* kNotBcd = "a digit above 9: not BCD";

uint32_t EncodeBcd(int64_t v) {
  uint32_t r = 0;
  for (int shift = 0; v > 0; shift += 4, v /= 10) r |= static_cast<uint32_t>(v % 10) << shift;
  return r;
}

// False when a nibble is above 9.
bool DecodeBcd(uint32_t raw, int width, uint32_t* value) {
  uint32_t v = 0;
  bool valid = true;
  for (int shift = width - 4; shift >= 0; shift -= 4) {
    const uint32_t digit = (raw >> shift) & 0xF;
    if (digit > 9) valid = false;
    v = v * 10 + digit;
  }
  *value = v;
  return valid;
}

bool Bcd(const std::string& text, int digits, uint32_t* raw, std::string* problem) {
  int64_t v = 0;
  const int64_t high = digits == 2 ? 99 : 9999;
  if (!qvtools::ParseDecimal(text, 0, high, &v)) {
    *problem = qvtools::NumberProblem(text, 0, high, false) + " (BCD: decimal digits)";
    return false;
  }
  *raw = EncodeBcd(v);
  return true;
}

// The raw range of an integer type, as numbers.
void IntegerRange(ValueType type, bool byteWide, double* low, double* high) {
  switch (type) {
    case ValueType::S16: *low = byteWide ? -128 : -32768, *high = byteWide ? 127 : 32767; break;
    case ValueType::Bcd: *low = 0, *high = byteWide ? 99 : 9999; break;
    case ValueType::U32: *low = 0, *high = 4294967295.0; break;
    case ValueType::S32: *low = -2147483648.0, *high = 2147483647.0; break;
    default: *low = 0, *high = byteWide ? 255 : 65535; break;
  }
}

bool Bits(const std::string& text, int width, uint32_t* raw, std::string* problem) {
  std::string digits;
  for (char c : text) {
    if (c != '_') digits += c;
  }
  if (digits.size() != static_cast<size_t>(width) || digits.find_first_not_of("01") != std::string::npos) {
    *problem = "'" + text + "' is not " + std::to_string(width) + " bits (0 and 1, highest bit first, '_' between " +
               "groups allowed)";
    return false;
  }
  uint32_t r = 0;
  for (char c : digits) r = r << 1 | static_cast<uint32_t>(c - '0');
  *raw = r;
  return true;
}

bool Float(const std::string& text, uint32_t* raw, std::string* problem, std::string* note) {
  // Read exactly first, to tell a number out of f32's range from text that
  // is no number, and to see whether f32 holds it as typed.
  double d = 0;
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, d);
  if (text.empty() || result.ptr != end || (result.ec != std::errc() && result.ec != std::errc::result_out_of_range) ||
      isnan(d) || isinf(d)) {
    *problem = "'" + text + "' is not a finite 32-bit floating-point number (e.g. 1.5, -2e3)";
    return false;
  }
  const float f = static_cast<float>(d);
  // Out of even a double's range: the exponent's sign says which end.
  const size_t exponent = text.find_first_of("eE");
  const bool tiny = exponent != std::string::npos && text.find('-', exponent) != std::string::npos;
  if (result.ec == std::errc::result_out_of_range ? !tiny : !isfinite(f)) {
    *problem = "'" + text + "' is too large for f32 (at most about 3.4e38)";
    return false;
  }
  if (d != 0 && (result.ec == std::errc::result_out_of_range || f == 0)) {
    *problem = "'" + text + "' is too small for f32 (the smallest is about 1.4e-45)";
    return false;
  }
  if (note != nullptr && static_cast<double>(f) != d) {
    char shown[32] = {};
    const auto written = std::to_chars(shown, shown + sizeof shown - 1, f);
    *note = "f32 cannot hold " + text + " exactly: written as " + std::string(shown, written.ptr);
  }
  memcpy(raw, &f, sizeof f);
  return true;
}

}  // namespace

bool ParseValueType(const std::string& text, ValueType* type) {
  for (const auto& t : kTypes) {
    if (text == t.name) {
      *type = t.type;
      return true;
    }
  }
  return false;
}

const char* ValueTypeNames() { return "u16|s16|hex|bcd|bits|u32|s32|f32"; }

int RegistersPerValue(ValueType type) {
  return type == ValueType::U32 || type == ValueType::S32 || type == ValueType::F32 ? 2 : 1;
}

ShownValue Show(ValueType type, uint32_t raw, bool byteWide) {
  const int width = RegistersPerValue(type) == 2 ? 32 : byteWide ? 8 : 16;
  ShownValue shown;
  switch (type) {
    case ValueType::U16:
    case ValueType::U32: shown.text = std::to_string(raw); break;
    case ValueType::S16: shown.text = std::to_string(byteWide ? static_cast<int8_t>(raw) : static_cast<int16_t>(raw));
      break;
    case ValueType::S32: shown.text = std::to_string(static_cast<int32_t>(raw)); break;
    case ValueType::Hex:
      shown.text = Hex(raw, width / 4);
      shown.number = false;
      break;
    case ValueType::Bcd: {
      uint32_t v = 0;
      shown.valid = DecodeBcd(raw, width, &v);
      if (!shown.valid) shown.why = kNotBcd;
      shown.text = shown.valid ? std::to_string(v) : "not-BCD";
      break;
    }
    case ValueType::Bits:
      for (int bit = width - 1; bit >= 0; --bit) {
        shown.text += static_cast<char>('0' + ((raw >> bit) & 1));
        if (bit > 0 && bit % 4 == 0) shown.text += '_';
      }
      shown.number = false;
      break;
    case ValueType::F32: {
      float f = 0;
      memcpy(&f, &raw, sizeof f);
      char text[32] = {};
      const auto result = std::to_chars(text, text + sizeof text - 1, f);
      shown.text.assign(text, result.ptr);
      if (!isfinite(f)) {
        shown.valid = false;
        shown.why = std::string("not a finite number: ") + (isnan(f) ? "NaN" : "infinite");
      }
      break;
    }
  }
  return shown;
}

int ShownWidth(ValueType type, bool byteWide) {
  switch (type) {
    case ValueType::Bits: return byteWide ? 9 : 19;
    case ValueType::U32: return 10;
    case ValueType::S32: return 11;
    case ValueType::F32: return 15;
    default: return 8;
  }
}

bool ParseValue(ValueType type, const std::string& text, bool byteWide, uint32_t* raw, std::string* problem,
                std::string* note) {
  switch (type) {
    case ValueType::U16:
    case ValueType::Hex: return Unsigned(text, byteWide ? 0xFF : 0xFFFF, raw, problem);
    case ValueType::S16:
      return byteWide ? Signed(text, -128, 127, 0xFF, raw, problem) : Signed(text, -32768, 32767, 0xFFFF, raw, problem);
    case ValueType::Bcd: return Bcd(text, byteWide ? 2 : 4, raw, problem);
    case ValueType::Bits: return Bits(text, byteWide ? 8 : 16, raw, problem);
    case ValueType::U32: return Unsigned(text, 0xFFFFFFFFLL, raw, problem);
    case ValueType::S32: return Signed(text, INT32_MIN, INT32_MAX, 0xFFFFFFFFu, raw, problem);
    case ValueType::F32: return Float(text, raw, problem, note);
  }
  return false;
}

bool RawToNumber(ValueType type, uint32_t raw, bool byteWide, double* number, std::string* why) {
  const int width = RegistersPerValue(type) == 2 ? 32 : byteWide ? 8 : 16;
  switch (type) {
    case ValueType::S16: *number = byteWide ? static_cast<int8_t>(raw) : static_cast<int16_t>(raw); return true;
    case ValueType::S32: *number = static_cast<int32_t>(raw); return true;
    case ValueType::Bcd: {
      uint32_t v = 0;
      if (!DecodeBcd(raw, width, &v)) {
        *why = kNotBcd;
        return false;
      }
      *number = v;
      return true;
    }
    case ValueType::F32: {
      const ShownValue shown = Show(type, raw, byteWide);
      if (!shown.valid) {
        *why = shown.why;
        return false;
      }
      float f = 0;
      memcpy(&f, &raw, sizeof f);
      *number = f;
      return true;
    }
    default: *number = raw; return true;
  }
}

bool NumberToRaw(ValueType type, double number, bool byteWide, uint32_t* raw, std::string* why) {
  if (!isfinite(number)) {
    *why = "is not a finite number";
    return false;
  }
  if (type == ValueType::F32) {
    const float f = static_cast<float>(number);
    if (!isfinite(f)) {
      *why = "is too large for f32 (at most about 3.4e38)";
      return false;
    }
    memcpy(raw, &f, sizeof f);
    return true;
  }
  if (number != floor(number)) {
    *why = "is not a whole number";
    return false;
  }
  double low = 0, high = 0;
  IntegerRange(type, byteWide, &low, &high);
  if (number < low || number > high) {
    char text[96];
    snprintf(text, sizeof text, "is outside the raw range %.0f..%.0f", low, high);
    *why = text;
    return false;
  }
  const int64_t whole = static_cast<int64_t>(number);
  *raw = type == ValueType::Bcd ? EncodeBcd(whole) : static_cast<uint32_t>(whole) & (byteWide ? 0xFFu : 0xFFFFFFFFu);
  if (RegistersPerValue(type) == 1 && !byteWide) *raw &= 0xFFFF;
  return true;
}

void SplitWords(uint32_t value, WordOrder order, uint16_t* first, uint16_t* second) {
  const uint16_t high = static_cast<uint16_t>(value >> 16), low = static_cast<uint16_t>(value);
  *first = order == WordOrder::HighFirst ? high : low;
  *second = order == WordOrder::HighFirst ? low : high;
}

uint32_t JoinWords(uint16_t first, uint16_t second, WordOrder order) {
  return order == WordOrder::HighFirst ? static_cast<uint32_t>(first) << 16 | second
                                       : static_cast<uint32_t>(second) << 16 | first;
}

}  // namespace qvhost
