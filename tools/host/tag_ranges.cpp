#include "tools/host/tag_ranges.h"

#include "tools/common/memory_preset.h"
#include "tools/common/number_text.h"

namespace qvhost {
namespace {

constexpr int kMGroupStep = 10;

std::string Trimmed(const std::string& text) {
  const size_t start = text.find_first_not_of(' ');
  if (start == std::string::npos) return "";
  return text.substr(start, text.find_last_not_of(' ') + 1 - start);
}

char Upper(char c) { return c == 'd' || c == 'm' ? static_cast<char>(c - 'a' + 'A') : c; }

struct Range {
  char area = 0;
  int first = 0, last = 0, step = 1;
};

bool Refuse(const std::string& name, const std::string& why, std::string* error) {
  *error = "range '" + name + "': " + why;
  return false;
}

bool Address(const std::string& name, const std::string& digits, char area, int* address, std::string* error) {
  const int highest = area == 'D' ? qvtools::kHighestD : qvtools::kHighestM;
  int64_t v = 0;
  if (!qvtools::ParseDecimal(digits, 0, 99999, &v)) {
    return Refuse(name, "'" + digits + "' is not an address (decimal digits after the area letter)", error);
  }
  if (v > highest) return Refuse(name, std::string(1, area) + " goes up to " + area + std::to_string(highest), error);
  if (area == 'M' && v % kMGroupStep != 0) {
    return Refuse(name, "M addresses go in tens (M0, M10, M20...); M" + std::to_string(v) + " is inside group M" +
                            std::to_string(v / kMGroupStep * kMGroupStep), error);
  }
  *address = static_cast<int>(v);
  return true;
}

bool ParseRange(const std::string& name, int registersPerValue, Range* range, std::string* error) {
  range->area = name[0];
  if (range->area != 'D' && range->area != 'M') return Refuse(name, "a range is of D registers or M groups", error);
  range->step = range->area == 'M' ? kMGroupStep : registersPerValue;
  const size_t dots = name.find("..");
  if (dots != std::string::npos) {
    std::string end = name.substr(dots + 2);
    if (!end.empty() && (Upper(end[0]) == 'D' || Upper(end[0]) == 'M')) {
      if (Upper(end[0]) != range->area) return Refuse(name, "a range stays in one area", error);
      end = end.substr(1);
    }
    if (!Address(name, name.substr(1, dots - 1), range->area, &range->first, error) ||
        !Address(name, end, range->area, &range->last, error)) {
      return false;
    }
    if (range->last < range->first) return Refuse(name, "its end comes before its start", error);
    return true;
  }
  const size_t colon = name.find(':');
  if (!Address(name, name.substr(1, colon - 1), range->area, &range->first, error)) return false;
  const std::string count = name.substr(colon + 1);
  int64_t n = 0;
  if (!qvtools::ParseNumber(count, 1, 8200, &n)) {
    return Refuse(name, "the count after ':' must be a count of 1..8200 (decimal, or hex with 0x), not '" + count +
                            "'", error);
  }
  range->last = range->first + static_cast<int>(n - 1) * range->step;
  return true;
}

}  // namespace

bool ExpandTag(const std::string& typed, int registersPerValue, std::vector<std::string>* tags, std::string* error) {
  const size_t equals = typed.find('=');
  std::string name = typed.substr(0, equals);
  const std::string value = equals == std::string::npos ? std::string() : typed.substr(equals);
  // The driver takes only upper-case area letters; a person types either.
  const size_t letter = name.find_first_not_of(' ');
  if (letter != std::string::npos) name[letter] = Upper(name[letter]);
  const std::string trimmed = Trimmed(name);
  if (trimmed.find("..") == std::string::npos && trimmed.find(':') == std::string::npos) {
    tags->push_back(name + value);
    return true;
  }
  if (!value.empty()) {
    return Refuse(trimmed + value, "a write names one value; write each, e.g. " + trimmed.substr(0, 1) +
                                       "100=5 " + trimmed.substr(0, 1) + "101=5", error);
  }
  Range range;
  if (!ParseRange(trimmed, registersPerValue, &range, error)) return false;
  const int highest = range.area == 'D' ? qvtools::kHighestD : qvtools::kHighestM;
  const int lastRegister = range.last + (range.area == 'D' ? registersPerValue - 1 : 0);
  if (lastRegister > highest) {
    return Refuse(trimmed, "it runs past " + std::string(1, range.area) + std::to_string(highest), error);
  }
  for (int a = range.first; a <= range.last; a += range.step) tags->push_back(range.area + std::to_string(a));
  return true;
}

}  // namespace qvhost
