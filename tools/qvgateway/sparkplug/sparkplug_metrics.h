// The edge node's families on /metrics: connected, born, the store-and-
// forward buffer's depth, bytes, age and what it dropped.
#pragma once

#include <string>

#include "tools/qvgateway/sparkplug/sparkplug_adapter.h"

namespace qvgateway {

// The families' text, appended to the rest of /metrics. `buffered`:
// buffer_dir is set (without it the buffer's families are left out).
std::string SparkplugMetrics(const SparkplugLook& look, bool buffered, int64_t unixNow);

}  // namespace qvgateway
