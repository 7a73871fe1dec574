// The Sparkplug edge node under the bench: how long a change in qvsim
// takes to reach a subscriber as DDATA, against the poll period, and how
// fast 100,000 buffered changes are replayed to mosquitto on loopback.
#pragma once

#include <string>
#include <vector>

namespace gwbench {

// Latency: for each poll period, a qvsim register counting on a clock (a
// period no multiple of the poll's), the gateway as an edge node, and
// mosquitto_sub on its DDATA (payloads decoded here); each change seen
// from the value before it gives receipt minus the moment of the change,
// against poll period + wire time + 50 ms. Replay: `buffered` changes
// written to the store-and-forward folder before the gateway starts, then
// replayed after its births: changes a second between the replay's first
// and last log lines, each change checked to arrive once, in order, flagged
// historical. Printed, and returned as JSON ("\"sparkplug\": {...}");
// `failures` grows on a period with no latency or a change missing.
std::string SparkplugBench(const std::string& bin, const std::string& work, const std::vector<int>& pollMs,
                           int changes, int buffered, int* failures);

}  // namespace gwbench
