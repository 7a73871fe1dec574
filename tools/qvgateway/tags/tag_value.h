// A tag's raw registers and its engineering value, both ways:
// engineering = raw x scale + offset, the raw read through the host's
// value types (the ones qvpoll shows), so both tools read a register the
// same. A value that cannot be written exactly is refused, never rounded.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/qvgateway/config/tag_config.h"

namespace qvgateway {

// What a subscriber sees: a bool, a whole number (scale and offset keep
// the raw integer whole) or a real rounded to the digits the scale gives.
struct EngineeringValue {
  enum class Kind { Bool, Integer, Real };
  Kind kind = Kind::Integer;
  bool flag = false;
  int64_t integer = 0;
  double real = 0;
  double Number() const {
    return kind == Kind::Bool ? (flag ? 1 : 0) : kind == Kind::Integer ? static_cast<double>(integer) : real;
  }
  bool operator==(const EngineeringValue& o) const {
    return kind == o.kind && flag == o.flag && integer == o.integer && real == o.real;
  }
};

// The decimals the scale and offset imply (0.1: 1; 0.25: 2), or -1 when
// none below 10 holds them.
int ScaleDecimals(double scale, double offset);

// `words`: the tag's registers from its first (one, or two in address
// order); for a bool, the register or M group holding its bit. False with
// why when the raw is no value of the type (not BCD, a NaN f32).
bool Engineering(const TagConfig& tag, const std::vector<uint16_t>& words, EngineeringValue* value, std::string* why);

// The raw number (before the type's bits) for an engineering value:
// (value - offset) / scale; `whole` asks that it land on a whole raw
// value within a tiny relative error (not for f32). False with why.
bool RawNumber(const TagConfig& tag, double value, bool whole, double* raw, std::string* why);

// A write's registers in address order: refused outside [min, max],
// outside the raw type's range, or not landing on a whole raw value.
// Not for bool tags (their write changes one bit).
bool ToRegisters(const TagConfig& tag, double value, std::vector<uint16_t>* words, std::string* why);

}  // namespace qvgateway
