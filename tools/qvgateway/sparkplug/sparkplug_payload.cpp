#include "tools/qvgateway/sparkplug/sparkplug_payload.h"

#include <math.h>

#include <memory>

#include "sparkplug_b.pb-c.h"
#include "tools/qvgateway/sparkplug/unpacked_payload.h"

namespace qvgateway {
namespace {

using PbPayload = Qvsparkplug__Payload;
using PbMetric = Qvsparkplug__Payload__Metric;
using PbPropertySet = Qvsparkplug__Payload__PropertySet;
using PbPropertyValue = Qvsparkplug__Payload__PropertyValue;

// What one metric needs to live until the payload is packed.
struct MetricParts {
  PbMetric metric = QVSPARKPLUG__PAYLOAD__METRIC__INIT;
  PbPropertySet properties = QVSPARKPLUG__PAYLOAD__PROPERTY_SET__INIT;
  PbPropertyValue values[2] = {QVSPARKPLUG__PAYLOAD__PROPERTY_VALUE__INIT, QVSPARKPLUG__PAYLOAD__PROPERTY_VALUE__INIT};
  PbPropertyValue* valuePointers[2] = {};
  char* keys[2] = {};
};

char kEngUnit[] = "engUnit";
char kQuality[] = "Quality";

void SetValue(const MetricOut& in, PbMetric* m) {
  switch (in.type) {
    case SparkplugType::Boolean:
      m->value_case = QVSPARKPLUG__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
      m->boolean_value = in.flag;
      break;
    case SparkplugType::Int16:
    case SparkplugType::Int32:
    case SparkplugType::UInt16:
      // A signed value travels as its 32-bit two's complement.
      m->value_case = QVSPARKPLUG__PAYLOAD__METRIC__VALUE_INT_VALUE;
      m->int_value = static_cast<uint32_t>(static_cast<int32_t>(in.integer));
      break;
    case SparkplugType::Int64:
    case SparkplugType::UInt32:
      m->value_case = QVSPARKPLUG__PAYLOAD__METRIC__VALUE_LONG_VALUE;
      m->long_value = static_cast<uint64_t>(in.integer);
      break;
    case SparkplugType::Float:
      m->value_case = QVSPARKPLUG__PAYLOAD__METRIC__VALUE_FLOAT_VALUE;
      m->float_value = static_cast<float>(in.real);
      break;
    case SparkplugType::Double:
      m->value_case = QVSPARKPLUG__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE;
      m->double_value = in.real;
      break;
  }
}

void Fill(const MetricOut& in, MetricParts* p) {
  PbMetric* m = &p->metric;
  if (!in.name.empty()) m->name = const_cast<char*>(in.name.c_str());
  m->has_alias = in.hasAlias;
  m->alias = in.alias;
  m->has_timestamp = true;
  m->timestamp = static_cast<uint64_t>(in.unixMs);
  m->has_datatype = true;
  m->datatype = static_cast<uint32_t>(in.type);
  if (in.historical) m->has_is_historical = m->is_historical = true;
  if (in.isNull) {
    m->has_is_null = m->is_null = true;
  } else {
    SetValue(in, m);
  }
  size_t n = 0;
  if (in.hasUnit) {
    p->keys[n] = kEngUnit;
    p->values[n].has_type = true;
    p->values[n].type = static_cast<uint32_t>(QVSPARKPLUG__DATA_TYPE__String);
    p->values[n].value_case = QVSPARKPLUG__PAYLOAD__PROPERTY_VALUE__VALUE_STRING_VALUE;
    p->values[n].string_value = const_cast<char*>(in.unit.c_str());
    ++n;
  }
  if (in.quality >= 0) {
    p->keys[n] = kQuality;
    p->values[n].has_type = true;
    p->values[n].type = static_cast<uint32_t>(SparkplugType::Int32);
    p->values[n].value_case = QVSPARKPLUG__PAYLOAD__PROPERTY_VALUE__VALUE_INT_VALUE;
    p->values[n].int_value = static_cast<uint32_t>(in.quality);
    ++n;
  }
  if (n == 0) return;
  for (size_t i = 0; i < n; ++i) p->valuePointers[i] = &p->values[i];
  p->properties.n_keys = p->properties.n_values = n;
  p->properties.keys = p->keys;
  p->properties.values = p->valuePointers;
  m->properties = &p->properties;
}

}  // namespace

std::string EncodePayload(int64_t unixMs, int seq, const std::vector<MetricOut>& metrics) {
  std::vector<MetricParts> parts(metrics.size());
  std::vector<PbMetric*> pointers(metrics.size());
  for (size_t i = 0; i < metrics.size(); ++i) {
    Fill(metrics[i], &parts[i]);
    pointers[i] = &parts[i].metric;
  }
  PbPayload payload = QVSPARKPLUG__PAYLOAD__INIT;
  payload.has_timestamp = true;
  payload.timestamp = static_cast<uint64_t>(unixMs);
  payload.n_metrics = pointers.size();
  payload.metrics = pointers.data();
  if (seq >= 0) {
    payload.has_seq = true;
    payload.seq = static_cast<uint64_t>(seq);
  }
  std::string bytes(qvsparkplug__payload__get_packed_size(&payload), '\0');
  qvsparkplug__payload__pack(&payload, reinterpret_cast<uint8_t*>(&bytes[0]));
  return bytes;
}

SparkplugType TagMetricType(const TagConfig& tag) {
  if (tag.type == TagType::Bool) return SparkplugType::Boolean;
  if (tag.scale != 1 || tag.offset != 0) return SparkplugType::Double;
  switch (tag.type) {
    case TagType::S16: return SparkplugType::Int16;
    case TagType::U32: return SparkplugType::UInt32;
    case TagType::S32: return SparkplugType::Int32;
    case TagType::F32: return SparkplugType::Float;
    default: return SparkplugType::UInt16;  // u16, and bcd's 0..9999
  }
}

int SparkplugQuality(Quality quality) {
  return quality == Quality::Good ? kQualityGood : quality == Quality::Stale ? kQualityStale : kQualityBad;
}

MetricOut TagMetric(const TagConfig& tag, uint64_t alias, const TagReading& reading, bool birth) {
  MetricOut m;
  if (birth) {
    m.name = tag.name;
    m.hasUnit = !tag.unit.empty();
    m.unit = tag.unit;
  }
  m.hasAlias = true;
  m.alias = alias;
  m.type = TagMetricType(tag);
  m.unixMs = reading.unixMs;
  m.quality = SparkplugQuality(reading.quality);
  m.isNull = reading.quality == Quality::Bad;
  m.flag = reading.value.flag;
  m.integer = reading.value.kind == EngineeringValue::Kind::Integer ? reading.value.integer
                                                                   : llround(reading.value.Number());
  m.real = reading.value.Number();
  return m;
}

bool DecodeMetrics(const std::string& bytes, int64_t* unixMs, int* seq, std::vector<MetricOut>* metrics) {
  const UnpackedPayload payload = UnpackPayload(bytes);
  if (payload == nullptr) return false;
  *unixMs = payload->has_timestamp ? static_cast<int64_t>(payload->timestamp) : -1;
  *seq = payload->has_seq ? static_cast<int>(payload->seq) : -1;
  for (size_t i = 0; i < payload->n_metrics; ++i) {
    const PbMetric* m = payload->metrics[i];
    MetricOut o;
    if (m->name != nullptr) o.name = m->name;
    o.hasAlias = m->has_alias;
    o.alias = m->alias;
    o.type = static_cast<SparkplugType>(m->datatype);
    o.unixMs = static_cast<int64_t>(m->timestamp);
    o.isNull = m->has_is_null && m->is_null;
    o.historical = m->has_is_historical && m->is_historical;
    switch (m->value_case) {
      case QVSPARKPLUG__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE: o.flag = m->boolean_value != 0; break;
      case QVSPARKPLUG__PAYLOAD__METRIC__VALUE_INT_VALUE:
        o.integer = o.type == SparkplugType::UInt16 ? static_cast<int64_t>(m->int_value)
                                                    : static_cast<int64_t>(static_cast<int32_t>(m->int_value));
        break;
      case QVSPARKPLUG__PAYLOAD__METRIC__VALUE_LONG_VALUE: o.integer = static_cast<int64_t>(m->long_value); break;
      case QVSPARKPLUG__PAYLOAD__METRIC__VALUE_FLOAT_VALUE: o.real = m->float_value; break;
      case QVSPARKPLUG__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE: o.real = m->double_value; break;
      default: break;
    }
    if (m->properties != nullptr) {
      for (size_t k = 0; k < m->properties->n_keys && k < m->properties->n_values; ++k) {
        const std::string key = m->properties->keys[k];
        const PbPropertyValue* v = m->properties->values[k];
        if (key == kEngUnit && v->value_case == QVSPARKPLUG__PAYLOAD__PROPERTY_VALUE__VALUE_STRING_VALUE) {
          o.hasUnit = true;
          o.unit = v->string_value;
        } else if (key == kQuality && v->value_case == QVSPARKPLUG__PAYLOAD__PROPERTY_VALUE__VALUE_INT_VALUE) {
          o.quality = static_cast<int32_t>(v->int_value);
        }
      }
    }
    metrics->push_back(o);
  }
  return true;
}

}  // namespace qvgateway
