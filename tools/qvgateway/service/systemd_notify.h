// Tells systemd where the gateway stands, for a unit of Type=notify:
// READY=1 once the port is open and every listener is up (so that
// `systemctl start` fails when the line cannot be opened), RELOADING=1
// while a new file is taken, STOPPING=1 when stopping. Each message is one
// datagram to the socket named by NOTIFY_SOCKET (a path, or "@name" in
// the abstract namespace); without it nothing is sent.
#pragma once

#include <stdint.h>

#include <string>

namespace qvgateway {

// Sends `state` ("READY=1\nSTATUS=serving"); false when NOTIFY_SOCKET is
// unset or the datagram could not be sent (never fatal to the caller).
bool NotifySystemd(const std::string& state);

// The messages, with a short STATUS= text each.
std::string ReadyMessage(const std::string& status);
// RELOADING=1 needs the monotonic clock's time in microseconds with it.
std::string ReloadingMessage(uint64_t monotonicUsec);
std::string StoppingMessage();
uint64_t MonotonicUsec();

}  // namespace qvgateway
