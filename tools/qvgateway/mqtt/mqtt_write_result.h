// The line owner's answer to a write, as the MQTT side says it on
// .../set/result: the driver's code when the write reached the line and
// failed there, and the one reason that holds in plain words.
#pragma once

#include <string>

#include "tools/qvgateway/line/line_result.h"

namespace qvgateway {

// {"id":..,"ok":true}, or {"id":..,"ok":false,"code":5,"meaning":"receive time-out"};
// "code" is null when the write never reached the line ("port lost").
std::string WriteResultPayload(const std::string& idJson, const LineResult& result);

}  // namespace qvgateway
