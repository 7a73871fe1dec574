// The job as the user typed it, checked by the driver's own tag parser
// before any line is touched: the stations, the writes in the order typed,
// the reads in the order typed.
#pragma once

#include <string>
#include <vector>

#include "tools/qvpoll/host_blocks.h"
#include "tools/qvpoll/options.h"

namespace qvpoll {

struct Plan {
  std::vector<int> stations;
  // One entry per write and station, in the order typed; each goes out once.
  std::vector<Tag> writes;
  // One entry per read tag and station, in the order typed (rows keep this
  // order; blocks are grouped from it).
  std::vector<Tag> reads;
};

// False with a message that names the argument and says what is wrong.
bool BuildPlan(IDeviceDriver* driver, const Options& options, Plan* plan, std::string* error);

// Hex digits a tag's value shows: 4 for a D register, 2 for an M group.
int ValueDigits(const Tag& tag);

}  // namespace qvpoll
