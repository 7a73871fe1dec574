// The driver's own settings, beyond what the host configures: read once
// when an object is made, kept in it. With none set, the driver behaves as
// it always has.
#pragma once

#include <stdint.h>

#include "link/port_exchange.h"
#include "platform/settings.h"

namespace quorvalend {

constexpr uint32_t kDefaultTraceMaxKB = 10240;

struct DriverSettings {
  char trace[260] = {};  // empty: off; "debug"; or a file path
  ReplyWait replyWait = ReplyWait::Poll;
  bool checkStation = false;
  uint32_t traceMaxKB = kDefaultTraceMaxKB;
  // What was set but not understood, "ReplyWait=fast CheckStation=yes",
  // for the trace to say; such a value keeps its default.
  char ignored[200] = {};
};

// Reads every setting from `source`; null reads none (the defaults).
DriverSettings ReadDriverSettings(SettingsSource* source);

}  // namespace quorvalend
