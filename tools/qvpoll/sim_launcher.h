// --sim: a qvsim on a fresh pseudo-terminal, stopped when qvpoll ends.
#pragma once

#include <string>
#include <vector>

namespace qvpoll {

// Starts qvsim (from beside this program) with `args`; stores the device
// the driver should open. False with a message where it cannot.
bool StartSimulator(const std::vector<std::string>& args, std::string* device, std::string* error);
// Stops it, if it runs; safe to call more than once.
void StopSimulator();

}  // namespace qvpoll
