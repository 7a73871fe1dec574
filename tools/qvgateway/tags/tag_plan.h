// Named tags in the poll plan: their registers are read in their
// station's blocks, a writable tag's registers must be in the station's
// write ranges, and --check-config lists the scan classes they make.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tools/qvgateway/config/config.h"
#include "tools/qvgateway/line/plan.h"

namespace qvgateway {

// Every register the tags of station `number` read (D registers, M groups).
std::vector<std::pair<Area, int>> TagRegisters(const GatewayConfig& config, int number);

// A refusal, naming the tag's `writable` key, for each writable tag of
// `station` whose registers are not all in its write ranges.
void CheckWritableTags(const GatewayConfig& config, const StationConfig& station, const RegisterSet& writable,
                       std::vector<std::string>* problems);

// Each station's scan classes: period, tags, blocks they touch, share of
// the line. "" when the file names no tags.
std::string DescribeScanClasses(const GatewayConfig& config, const LinePlan& plan);

}  // namespace qvgateway
