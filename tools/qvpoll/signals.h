// How qvpoll ends on a signal. The first Ctrl-C asks the scan loop to stop
// after the current transaction (a write is never cut short) and print the
// summary; a second one quits at once. A hang-up, a closed output pipe or
// a termination request quits at once. Quitting stops the simulator first.
#pragma once

namespace qvpoll {

void InstallSignalHandlers();
bool StopRequested();

}  // namespace qvpoll
