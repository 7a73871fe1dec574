// The driver's own settings, beyond what the host configures: read once
// when an object is made, kept in it. With none set, the driver behaves as
// it always has.
#pragma once

#include <stdint.h>

#include "link/port_exchange.h"
#include "platform/serial_port.h"
#include "platform/settings.h"

namespace quorvalend {

constexpr uint32_t kDefaultTraceMaxKB = 10240;

struct DriverSettings {
  char trace[260] = {};  // empty: off; "debug"; or a file path
  ReplyWait replyWait = ReplyWait::Poll;
  bool checkStation = false;
  uint32_t traceMaxKB = kDefaultTraceMaxKB;
  // Off unless set: an adapter that switches by itself, or a port that is
  // no RS-485 line, would refuse it.
  Rs485Setting rs485;
  // What was set but not understood, "ReplyWait=fast CheckStation=yes",
  // for the trace to say; such a value keeps its default.
  char ignored[200] = {};
};

// Reads every setting from `source`; null reads none (the defaults).
DriverSettings ReadDriverSettings(SettingsSource* source);

// "off", "rts-on-send" or "rts-after-send", as the setting is written.
const char* Rs485ModeName(Rs485Mode mode);

}  // namespace quorvalend
