// The gateway's MQTT side under the bench: how long a change in a
// controller's register takes to reach a subscriber.
#pragma once

#include <string>
#include <vector>

namespace gwbench {

// For each poll period in `pollMs`: a mosquitto broker of the bench's own
// on a free loopback port, mosquitto_sub on one tag, and a gateway at 9600
// baud with the early wait polling a qvsim register that counts up on a
// clock (--tick-ms, a period no multiple of the poll's, so the changes fall
// at every phase of it). Each change seen from the value before it gives
// one latency: receipt by mosquitto_sub minus the moment of the change,
// both in Unix time. About `changes` per period; median, p90, p99 and max
// printed against poll/2 + wire time, and as JSON ("\"mqtt\": [...]")
// returned. `failures` grows when a period gave no latency at all.
std::string MqttLatencyBench(const std::string& bin, const std::string& work, const std::vector<int>& pollMs,
                             int changes, int* failures);

}  // namespace gwbench
