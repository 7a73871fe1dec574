// --scan: which stations answer, at which line settings. The commonest
// field failure is a wrong station, baud or parity; this finds them.
#pragma once

#include <string>

#include "tools/qvpoll/options.h"
#include "tools/qvpoll/scan_loop.h"
#include "tools/host/session.h"

namespace qvpoll {

// Tries every station at every setting of `options.bauds` x
// `options.parities` on one driver object of `session`, opening the port
// for each setting (OpenPort is what sets the short time-out). Prints the
// stations that answered, each with the qvpoll command that reaches it.
// Returns the exit status: 0 some answered, 1 none, 2 the port unusable.
int ScanStations(qvhost::Session& session, const Options& options, const std::string& device, const Hooks& hooks);

}  // namespace qvpoll
