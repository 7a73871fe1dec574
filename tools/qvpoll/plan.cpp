#include "tools/qvpoll/plan.h"

#include <string.h>

#include "tools/common/memory_preset.h"
#include "tools/host/driver_errors.h"
#include "tools/host/tag_problem.h"
#include "tools/host/tag_ranges.h"

namespace qvpoll {
namespace {

std::string Trimmed(const std::string& text) {
  const size_t start = text.find_first_not_of(' ');
  if (start == std::string::npos) return "";
  return text.substr(start, text.find_last_not_of(' ') + 1 - start);
}

bool ParseAddress(IDeviceDriver* driver, const std::string& text, bool write, qvhost::Tag* tag, std::string* error) {
  TagDefinition definition{};
  if (text.size() >= sizeof definition.addressText) {
    *error = "tag '" + text + "' is too long: " + qvhost::TagProblem(Trimmed(text), write);
    return false;
  }
  memcpy(definition.addressText, text.c_str(), text.size());
  // Each area's own data type: the 16-bit register type for "D", the byte
  // type for "M".
  const std::string trimmed = Trimmed(text);
  const bool m = !trimmed.empty() && trimmed[0] == 'M';
  definition.dataType = m ? QV_DATA_TYPE_BYTE : QV_DATA_TYPE_WORD;
  if (driver->lpVtbl->ParseTag(driver, &definition, &tag->address) != QV_PARSE_OK) {
    *error = "tag '" + text + "': " + qvhost::Describe(qvhost::LastDriverError(driver)) + ": " + qvhost::TagProblem(text, write);
    return false;
  }
  tag->text = trimmed;
  return true;
}

// One expanded tag (TAG or TAG=VALUE) into a value and its register tags.
bool ParseOne(IDeviceDriver* driver, const Plan& plan, const std::string& typed, Value* value,
              std::vector<qvhost::Tag>* tags, std::string* error) {
  const size_t equals = typed.find('=');
  qvhost::Tag tag;
  if (!ParseAddress(driver, typed.substr(0, equals), equals != std::string::npos, &tag, error)) return false;
  value->text = tag.text;
  value->byteWide = tag.address.registerTypeIndex == QV_TYPE_INDEX_M;
  value->registers = qvhost::RegistersPerValue(plan.type);
  if (value->registers == 2) {
    if (value->byteWide) {
      *error = "tag '" + tag.text + "': the 32-bit types (u32, s32, f32) take two D registers; an M group is one "
               "byte (use u16, s16, hex, bcd or bits)";
      return false;
    }
    if (tag.address.registerAddress >= qvtools::kHighestD) {
      *error = "tag '" + tag.text + "': a 32-bit value takes " + tag.text + " and the register after it, and D" +
               std::to_string(qvtools::kHighestD) + " is the last";
      return false;
    }
  }
  if (equals != std::string::npos) {
    value->write = true;
    value->typed = typed.substr(equals + 1);
    std::string problem;
    if (!qvhost::ParseValue(plan.type, value->typed, value->byteWide, &value->writeValue, &problem, &value->note)) {
      const char* holds = value->registers == 2 ? "" : value->byteWide ? "; an M group holds 0..255"
                                                                       : "; a D register holds 0..65535";
      *error = "'" + typed + "': the value " + problem + holds;
      return false;
    }
  }
  uint16_t words[2] = {static_cast<uint16_t>(value->writeValue), 0};
  if (value->registers == 2) qvhost::SplitWords(value->writeValue, plan.wordOrder, &words[0], &words[1]);
  for (int r = 0; r < value->registers; ++r) {
    qvhost::Tag part = tag;
    part.address.registerAddress = static_cast<int16_t>(tag.address.registerAddress + r);
    part.text = r == 0 ? tag.text : "D" + std::to_string(part.address.registerAddress);
    part.write = value->write;
    part.writeValue = words[r];
    tags->push_back(part);
  }
  return true;
}

}  // namespace

int ValueDigits(const Value& value) { return value.registers == 2 ? 8 : value.byteWide ? 2 : 4; }

uint32_t ReadBits(const Plan& plan, const Value& value) {
  uint32_t words[2] = {};
  for (int r = 0; r < value.registers; ++r) memcpy(&words[r], plan.reads[value.first + r].item.value, 4);
  if (value.registers == 2) {
    return qvhost::JoinWords(static_cast<uint16_t>(words[0]), static_cast<uint16_t>(words[1]), plan.wordOrder);
  }
  return value.byteWide ? (words[0] & 0xFF) : words[0];
}

bool BuildPlan(IDeviceDriver* driver, const Options& options, Plan* plan, std::string* error) {
  plan->stations = options.stations;
  plan->type = options.type;
  plan->wordOrder = options.wordOrder;
  std::vector<std::string> expanded;
  for (const std::string& typed : options.tags) {
    if (!qvhost::ExpandTag(typed, qvhost::RegistersPerValue(plan->type), &expanded, error)) return false;
  }
  std::vector<Value> values;
  std::vector<std::vector<qvhost::Tag>> tags;
  for (const std::string& typed : expanded) {
    Value value;
    std::vector<qvhost::Tag> parts;
    if (!ParseOne(driver, *plan, typed, &value, &parts, error)) return false;
    values.push_back(value);
    tags.push_back(parts);
  }
  for (int station : plan->stations) {
    for (size_t i = 0; i < values.size(); ++i) {
      Value value = values[i];
      value.station = station;
      auto& list = value.write ? plan->writes : plan->reads;
      value.first = list.size();
      for (qvhost::Tag tag : tags[i]) {
        tag.address.deviceAddress = static_cast<int16_t>(station);
        list.push_back(tag);
      }
      (value.write ? plan->writeValues : plan->readValues).push_back(value);
    }
  }
  return true;
}

}  // namespace qvpoll
