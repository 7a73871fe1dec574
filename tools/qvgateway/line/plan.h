// The poll plan: per station, which registers clients may read and write,
// the blocks its read ranges make (grouped by the driver's CanJoinBlock,
// as a data server groups tags), their wire time, and the share of the
// line the cyclic polls take.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "quorvalend/quorvalend.h"
#include "tools/qvgateway/config/config.h"
#include "tools/qvgateway/line/register_rules.h"
#include "tools/qvgateway/line/wire_time.h"
#include "tools/host/host_blocks.h"

namespace qvgateway {

struct PlanBlock {
  Area area = Area::D;
  int first = 0, last = 0;  // D registers or M groups, inclusive
  double wireMs = 0;
};

struct StationPlan {
  const StationConfig* config = nullptr;
  StationRules rules;
  std::vector<PlanBlock> blocks;
  std::vector<int> dBlock = std::vector<int>(kDRegisters, -1);  // block of a D register, -1 none
  std::vector<int> mBlock = std::vector<int>(kMGroups, -1);
  double pollWireMs = 0;  // one poll of every block
  // The driver's records for the blocks (the same order as `blocks`).
  std::vector<qvhost::Tag> tags;
  std::vector<std::unique_ptr<qvhost::Block>> driverBlocks;
  int BlockOf(Area area, int index) const { return area == Area::D ? dBlock[index] : mBlock[index]; }
};

struct LinePlan {
  std::vector<std::unique_ptr<StationPlan>> stations;
  int bitsPerByte = 10;
  double utilisation = 0;  // cyclic polls' wire time per second of line
  const StationPlan* ByUnit(int unit) const;
};

// One register (a D number, or an M group) as the driver's TagAddress for
// `station`, through ParseTag as a data server makes it; `typed` is the
// text when the user wrote one.
bool ParseRegister(IDeviceDriver* parser, Area area, int index, int station, TagAddress* address, std::string* why,
                   const std::string& typed = "");

// `parser`: a driver object, for ParseTag and CanJoinBlock. False with
// one message per problem, each naming the key and its line.
bool BuildPlan(const GatewayConfig& config, IDeviceDriver* parser, LinePlan* plan, std::vector<std::string>* problems);

// What --check-config prints: each station's blocks and their wire time,
// and the line's utilisation.
std::string DescribePlan(const GatewayConfig& config, const LinePlan& plan);

}  // namespace qvgateway
