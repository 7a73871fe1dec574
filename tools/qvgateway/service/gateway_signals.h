// SIGTERM and SIGINT ask the gateway to stop: it stops accepting, lets the
// transaction on the line finish, closes the port and exits 0. A second
// one exits at once. SIGHUP asks it to read its file again.
#pragma once

#include <atomic>

namespace qvgateway {

void InstallStopSignals();
const std::atomic<bool>& StopRequested();
// Set by a stop or a reload: what the serving loop waits on.
const std::atomic<bool>& AttentionRequested();
// Whether a reload was asked since the last call; clears the attention
// first, so that a signal arriving meanwhile is never lost.
bool TakeReload();

}  // namespace qvgateway
