// --sim: a qvsim on a fresh pseudo-terminal, stopped when qvpoll ends,
// however it ends: by its own hand, by a signal, or killed outright (the
// simulator then sees its parent gone and exits).
#pragma once

#include <string>
#include <vector>

namespace qvhost {

// Starts qvsim (from beside this program) with `args`; stores the device
// the driver should open. False with a message where it cannot.
bool StartSimulator(const std::vector<std::string>& args, std::string* device, std::string* error);
// Stops it, if it runs, and waits for it; safe to call more than once.
void StopSimulator();
// For a signal handler: ends it at once, without waiting.
void KillSimulatorNow();

}  // namespace qvhost
