#include "tools/qvpoll/plan.h"

#include <string.h>

#include "tools/common/number_text.h"
#include "tools/qvpoll/driver_errors.h"
#include "tools/qvpoll/tag_problem.h"

namespace qvpoll {
namespace {

std::string Trimmed(const std::string& text) {
  const size_t start = text.find_first_not_of(' ');
  if (start == std::string::npos) return "";
  return text.substr(start, text.find_last_not_of(' ') + 1 - start);
}

bool ParseOne(IDeviceDriver* driver, const std::string& typed, Tag* tag, std::string* error) {
  const size_t equals = typed.find('=');
  const std::string text = typed.substr(0, equals);
  TagDefinition definition{};
  if (text.size() >= sizeof definition.addressText) {
    *error = "tag '" + text + "' is too long: " + TagProblem(Trimmed(text));
    return false;
  }
  memcpy(definition.addressText, text.c_str(), text.size());
  // Each area's own data type: the 16-bit register type for "D", the byte
  // type for "M".
  const std::string trimmed = Trimmed(text);
  const bool m = !trimmed.empty() && trimmed[0] == 'M';
  definition.dataType = m ? QV_DATA_TYPE_BYTE : QV_DATA_TYPE_WORD;
  if (driver->lpVtbl->ParseTag(driver, &definition, &tag->address) != QV_PARSE_OK) {
    *error = "tag '" + text + "': " + Describe(LastDriverError(driver)) + ": " + TagProblem(text);
    return false;
  }
  tag->text = trimmed;
  if (equals == std::string::npos) return true;
  const std::string value = typed.substr(equals + 1);
  const int64_t largest = m ? 0xFF : 0xFFFF;
  int64_t v = 0;
  if (!qvtools::ParseNumber(value, 0, largest, &v)) {
    *error = "'" + typed + "': the value " + qvtools::NumberProblem(value, 0, largest) + "; " +
             (m ? "an M group holds 0..255" : "a D register holds 0..65535");
    return false;
  }
  tag->write = true;
  tag->writeValue = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

int ValueDigits(const Tag& tag) { return tag.address.registerTypeIndex == QV_TYPE_INDEX_M ? 2 : 4; }

bool BuildPlan(IDeviceDriver* driver, const Options& options, Plan* plan, std::string* error) {
  plan->stations = options.stations;
  for (const std::string& typed : options.tags) {
    Tag tag;
    if (!ParseOne(driver, typed, &tag, error)) return false;
    for (int station : plan->stations) {
      tag.address.deviceAddress = static_cast<int16_t>(station);
      (tag.write ? plan->writes : plan->reads).push_back(tag);
    }
  }
  return true;
}

}  // namespace qvpoll
