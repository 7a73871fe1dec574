// The MQTT connection as /healthz and the status page show it.
#pragma once

#include <stdint.h>

namespace qvgateway {

struct BrokerLook {
  bool configured = false;  // the file has an [mqtt] table
  bool connected = false;
  int64_t sinceUnixMs = 0;  // when it connected, or was lost (or the gateway started)
};

}  // namespace qvgateway
