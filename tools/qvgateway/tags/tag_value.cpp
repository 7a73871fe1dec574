#include "tools/qvgateway/tags/tag_value.h"

#include <math.h>
#include <stdio.h>

namespace qvgateway {
namespace {

// Relative error allowed when a value divided by its scale should be whole:
// 42.5 / 0.1 is 424.99999999999994 in binary.
constexpr double kWholeEpsilon = 1e-9;

bool NearWhole(double x) { return fabs(x - nearbyint(x)) <= kWholeEpsilon * fmax(1.0, fabs(x)); }

std::string Shown(double v) {
  char text[40];
  snprintf(text, sizeof text, "%.10g", v);
  return text;
}

}  // namespace

int ScaleDecimals(double scale, double offset) {
  double power = 1;
  for (int d = 0; d < 10; ++d, power *= 10) {
    if (NearWhole(scale * power) && NearWhole(offset * power)) return d;
  }
  return -1;
}

bool Engineering(const TagConfig& tag, const std::vector<uint16_t>& words, EngineeringValue* value, std::string* why) {
  if (tag.type == TagType::Bool) {
    value->kind = EngineeringValue::Kind::Bool;
    value->flag = (words.at(0) >> tag.bit & 1) != 0;
    return true;
  }
  const uint32_t raw =
      tag.Registers() == 2 ? qvhost::JoinWords(words.at(0), words.at(1), tag.wordOrder) : words.at(0);
  double number = 0;
  if (!qvhost::RawToNumber(tag.RawType(), raw, false, &number, why)) return false;
  const double scaled = number * tag.scale + tag.offset;
  const int decimals = ScaleDecimals(tag.scale, tag.offset);
  if (tag.type != TagType::F32 && decimals == 0 && fabs(scaled) < 9.0e15) {
    value->kind = EngineeringValue::Kind::Integer;
    value->integer = static_cast<int64_t>(nearbyint(scaled));
    return true;
  }
  value->kind = EngineeringValue::Kind::Real;
  if (tag.type == TagType::F32) {
    // An f32 holds about 7 significant digits; more would only show its
    // binary rounding (42.1 as 42.099998474121094).
    char text[40];
    snprintf(text, sizeof text, "%.7g", scaled);
    value->real = strtod(text, nullptr);
  } else if (decimals > 0) {
    const double power = pow(10, decimals);
    value->real = nearbyint(scaled * power) / power;
  } else {
    value->real = scaled;
  }
  return true;
}

bool RawNumber(const TagConfig& tag, double value, bool whole, double* raw, std::string* why) {
  const double r = (value - tag.offset) / tag.scale;
  const bool exact = tag.type == TagType::F32 || !whole || NearWhole(r);
  if (!exact) {
    *why = Shown(value) + " does not land on a whole raw value (it is " + Shown(r) + " x " + Shown(tag.scale) +
           (tag.offset != 0 ? " + " + Shown(tag.offset) : "") + "): write a multiple of the scale";
    return false;
  }
  const double rounded = tag.type == TagType::F32 ? r : nearbyint(r);
  uint32_t bits = 0;
  std::string problem;
  // The range check on the rounded value, so that a limit between two raw
  // values is judged by the raw value it would be.
  if (!qvhost::NumberToRaw(tag.RawType(), whole || tag.type == TagType::F32 ? rounded : trunc(r), false, &bits,
                           &problem)) {
    *why = Shown(value) + " is raw " + Shown(r) + ", which " + problem + " of " + TagTypeName(tag.type);
    return false;
  }
  *raw = rounded;
  return true;
}

bool ToRegisters(const TagConfig& tag, double value, std::vector<uint16_t>* words, std::string* why) {
  if (!isfinite(value)) {
    *why = "the value is not a finite number";
    return false;
  }
  if ((tag.hasMin && value < tag.min) || (tag.hasMax && value > tag.max)) {
    *why = Shown(value) + " is outside " + (tag.hasMin ? Shown(tag.min) : std::string("-inf")) + ".." +
           (tag.hasMax ? Shown(tag.max) : std::string("inf")) + " (the tag's min and max)";
    return false;
  }
  double raw = 0;
  if (!RawNumber(tag, value, true, &raw, why)) return false;
  uint32_t bits = 0;
  if (!qvhost::NumberToRaw(tag.RawType(), raw, false, &bits, why)) return false;
  words->clear();
  if (tag.Registers() == 2) {
    uint16_t first = 0, second = 0;
    qvhost::SplitWords(bits, tag.wordOrder, &first, &second);
    words->push_back(first);
    words->push_back(second);
  } else {
    words->push_back(static_cast<uint16_t>(bits));
  }
  return true;
}

}  // namespace qvgateway
