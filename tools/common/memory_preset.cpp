#include "tools/common/memory_preset.h"

#include "tools/common/number_text.h"

namespace qvtools {

bool ParsePreset(const std::string& text, MemoryPreset* preset, std::string* problem) {
  const size_t equals = text.find('=');
  if (text.empty() || (text[0] != 'D' && text[0] != 'M') || equals == std::string::npos) {
    *problem = "'" + text + "': give AREA=VALUE, e.g. D100=1234 or M10=0x3C";
    return false;
  }
  const char area = text[0];
  const std::string address = text.substr(1, equals - 1), value = text.substr(equals + 1);
  const int highest = area == 'D' ? kHighestD : kHighestM;
  int64_t a = 0, v = 0;
  if (!ParseDecimal(address, 0, highest, &a)) {
    *problem = "'" + text + "': " + std::string(1, area) + " addresses are 0.." + std::to_string(highest) +
               ", in decimal";
    return false;
  }
  if (area == 'M' && a % 10 != 0) {
    *problem = "'" + text + "': M groups start at multiples of ten (M" + std::to_string(a / 10 * 10) + " holds M" +
               std::to_string(a) + ")";
    return false;
  }
  const int64_t largest = area == 'D' ? 0xFFFF : 0xFF;
  if (!ParseNumber(value, 0, largest, &v)) {
    *problem = "'" + text + "': the value " + NumberProblem(value, 0, largest);
    return false;
  }
  preset->area = area;
  preset->address = static_cast<int>(a);
  preset->value = static_cast<uint32_t>(v);
  return true;
}

}  // namespace qvtools
