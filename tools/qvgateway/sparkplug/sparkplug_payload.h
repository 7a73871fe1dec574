// Sparkplug B payloads as bytes, both ways, and how a named tag becomes a
// metric: its data type, its value, its unit and quality as properties.
// Pure (no connection, no clock), so that every shape is tested from a
// table and decoded by a host library in the end-to-end tests.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/qvgateway/config/tag_config.h"
#include "tools/qvgateway/tags/tag_state.h"

namespace qvgateway {

// The standard's data type codes this gateway uses.
enum class SparkplugType : uint32_t {
  Int16 = 2, Int32 = 3, Int64 = 4, UInt16 = 6, UInt32 = 7, Float = 9, Double = 10, Boolean = 11
};

// The Quality property's values: good, stale (held from an older read), bad.
constexpr int kQualityGood = 192, kQualityStale = 500, kQualityBad = 0;

struct MetricOut {
  std::string name;  // empty: sent by alias only (DDATA)
  bool hasAlias = false;
  uint64_t alias = 0;
  SparkplugType type = SparkplugType::Double;
  int64_t unixMs = 0;
  bool isNull = false;
  bool historical = false;
  // The value as its type reads it: flag (Boolean), integer (the whole
  // number types), real (Float, Double).
  bool flag = false;
  int64_t integer = 0;
  double real = 0;
  bool hasUnit = false;
  std::string unit;  // property engUnit
  int quality = -1;  // property Quality; -1: none
};

// One payload: `seq` -1 leaves it out (NDEATH carries none).
std::string EncodePayload(int64_t unixMs, int seq, const std::vector<MetricOut>& metrics);

// bool Boolean; u16 UInt16; s16 Int16; u32 UInt32; s32 Int32; bcd UInt16;
// f32 Float; any tag with a scale or offset Double.
SparkplugType TagMetricType(const TagConfig& tag);
int SparkplugQuality(Quality quality);

// A tag's metric as a birth (`birth`: with its name and unit) or a data
// message (alias only) carries it; a bad reading is a null value.
MetricOut TagMetric(const TagConfig& tag, uint64_t alias, const TagReading& reading, bool birth);

// A decoded payload as the encoder's own metrics, for tests and the bench.
bool DecodeMetrics(const std::string& bytes, int64_t* unixMs, int* seq, std::vector<MetricOut>* metrics);

}  // namespace qvgateway
