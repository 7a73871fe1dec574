// SIGTERM and SIGINT (and a hang-up) ask the gateway to stop: it stops
// accepting, lets the transaction on the line finish, closes the port and
// exits 0. A second one exits at once.
#pragma once

#include <atomic>

namespace qvgateway {

void InstallStopSignals();
const std::atomic<bool>& StopRequested();

}  // namespace qvgateway
