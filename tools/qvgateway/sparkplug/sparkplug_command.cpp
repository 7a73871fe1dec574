#include "tools/qvgateway/sparkplug/sparkplug_command.h"

#include <stdio.h>

#include <nlohmann/json.hpp>

#include "sparkplug_b.pb-c.h"
#include "tools/qvgateway/mqtt/bounded_json.h"
#include "tools/qvgateway/sparkplug/unpacked_payload.h"

namespace qvgateway {
namespace {

using PbMetric = Qvsparkplug__Payload__Metric;

const char* const kNotAPayload = "the payload is not a Sparkplug B payload (protobuf)";

// The payload's messages that hold messages, and in which fields: a
// property value may hold a property set, which holds property values, as
// deep as a sender likes.
enum class Message { None, Payload, Metric, MetaData, PropertySet, PropertyValue, PropertySetList };

Message Inner(Message outer, uint64_t field) {
  switch (outer) {
    case Message::Payload: return field == 2 ? Message::Metric : Message::None;
    case Message::Metric: return field == 8 ? Message::MetaData : field == 9 ? Message::PropertySet : Message::None;
    case Message::PropertySet: return field == 2 ? Message::PropertyValue : Message::None;
    case Message::PropertyValue:
      return field == 9 ? Message::PropertySet : field == 10 ? Message::PropertySetList : Message::None;
    case Message::PropertySetList: return field == 1 ? Message::PropertySet : Message::None;
    default: return Message::None;
  }
}

bool Varint(const uint8_t* bytes, size_t end, size_t* pos, uint64_t* value) {
  *value = 0;
  for (int shift = 0; shift < 64 && *pos < end; shift += 7) {
    const uint8_t byte = bytes[(*pos)++];
    *value |= static_cast<uint64_t>(byte & 0x7f) << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

// Walks the wire format without recursion: false with why when a message
// lies deeper than `limit` or the bytes are no protobuf message at all.
bool NestingWithin(const uint8_t* bytes, size_t size, int limit, std::string* why) {
  struct Level {
    Message message;
    size_t end;
  };
  std::vector<Level> open{{Message::Payload, size}};
  size_t pos = 0;
  while (true) {
    while (pos == open.back().end) {
      if (open.size() == 1) return true;
      open.pop_back();
    }
    const size_t end = open.back().end;
    uint64_t key = 0, value = 0;
    if (!Varint(bytes, end, &pos, &key)) break;
    const unsigned wireType = key & 7;
    if (wireType == 0) {
      if (!Varint(bytes, end, &pos, &value)) break;
    } else if (wireType == 1 || wireType == 5) {
      const size_t n = wireType == 1 ? 8 : 4;
      if (end - pos < n) break;
      pos += n;
    } else if (wireType == 2) {
      if (!Varint(bytes, end, &pos, &value) || value > end - pos) break;
      const Message inner = Inner(open.back().message, key >> 3);
      if (inner == Message::None) {
        pos += static_cast<size_t>(value);
      } else if (open.size() >= static_cast<size_t>(limit)) {
        *why = "the payload's messages are nested deeper than " + std::to_string(limit) + " levels";
        return false;
      } else {
        open.push_back({inner, pos + static_cast<size_t>(value)});
      }
    } else {
      break;  // groups are not in this payload
    }
  }
  *why = kNotAPayload;
  return false;
}

}  // namespace

bool DecodeCommand(const std::string& bytes, std::vector<CommandMetric>* metrics, std::string* why) {
  if (bytes.size() > kMaxCommandBytes) {
    *why = "the payload is " + std::to_string(bytes.size()) + " bytes, more than a command's " +
           std::to_string(kMaxCommandBytes);
    return false;
  }
  if (!NestingWithin(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), kMaxCommandNesting, why)) {
    return false;
  }
  const UnpackedPayload payload = UnpackPayload(bytes);
  if (payload == nullptr) {
    *why = kNotAPayload;
    return false;
  }
  for (size_t i = 0; i < payload->n_metrics; ++i) {
    const PbMetric* m = payload->metrics[i];
    CommandMetric c;
    c.hasName = m->name != nullptr;
    if (c.hasName) c.name = m->name;
    c.hasAlias = m->has_alias;
    c.alias = m->alias;
    c.datatype = m->has_datatype ? m->datatype : 0;
    const bool isSigned = c.datatype >= 1 && c.datatype <= 4;
    if (!(m->has_is_null && m->is_null)) {
      switch (m->value_case) {
        case QVSPARKPLUG__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE:
          c.kind = CommandMetric::Kind::Boolean;
          c.flag = m->boolean_value != 0;
          c.text = c.flag ? "true" : "false";
          break;
        case QVSPARKPLUG__PAYLOAD__METRIC__VALUE_INT_VALUE:
          c.kind = CommandMetric::Kind::Number;
          c.number = isSigned ? static_cast<double>(static_cast<int32_t>(m->int_value)) : m->int_value;
          break;
        case QVSPARKPLUG__PAYLOAD__METRIC__VALUE_LONG_VALUE:
          c.kind = CommandMetric::Kind::Number;
          c.number = isSigned ? static_cast<double>(static_cast<int64_t>(m->long_value))
                              : static_cast<double>(m->long_value);
          break;
        case QVSPARKPLUG__PAYLOAD__METRIC__VALUE_FLOAT_VALUE:
          c.kind = CommandMetric::Kind::Number;
          c.number = m->float_value;
          break;
        case QVSPARKPLUG__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE:
          c.kind = CommandMetric::Kind::Number;
          c.number = m->double_value;
          break;
        default: break;
      }
    }
    if (c.kind == CommandMetric::Kind::Number) {
      char text[32];
      snprintf(text, sizeof text, "%.17g", c.number);
      c.text = text;
    }
    metrics->push_back(c);
  }
  return true;
}

bool ParseHostState(const std::string& payload, bool* online, std::string* why) {
  const char* const shape = "a STATE is {\"online\": true|false, \"timestamp\": ...}";
  nlohmann::json state;
  if (!ParseBoundedJson(payload, kMaxStateBytes, kMaxStateDepth, shape, &state, why)) return false;
  if (!state.is_object() || !state.contains("online") || !state["online"].is_boolean()) {
    *why = std::string("no boolean \"online\": ") + shape;
    return false;
  }
  *online = state["online"].get<bool>();
  return true;
}

}  // namespace qvgateway
