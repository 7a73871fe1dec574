// The status page a technician opens on the plant network: "/" is one
// HTML document with its style and script inline (nothing fetched from
// elsewhere), which reads "/status.json" about once a second. Both only
// read what the line owner keeps: nothing here reaches the line.
#pragma once

#include "tools/qvgateway/config/config.h"
#include "tools/qvgateway/http/http_server.h"
#include "tools/qvgateway/line/line_owner.h"
#include "tools/qvgateway/line/line_utilisation.h"
#include "tools/qvgateway/line/plan.h"
#include "tools/qvgateway/http/status_json.h"

namespace qvgateway {

// The page itself, made at build time from status_page.html.
extern const char kStatusPageHtml[];

class MqttAdapter;
class SparkplugAdapter;

// Every station's health and readable tags as they are now, and the MQTT
// connection (`mqtt` null when the file has no [mqtt] table).
LineView LookAtLine(const GatewayConfig& config, const LinePlan& plan, const LineOwner& owner,
                    const LineUtilisation& utilisation, const MqttAdapter* mqtt = nullptr,
                    const SparkplugAdapter* sparkplug = nullptr);

// Adds "/" and "/status.json" to `http` (before its Start).
void AddStatusPage(HttpServer& http, const GatewayConfig& config, const LinePlan& plan, const LineOwner& owner,
                   const LineUtilisation& utilisation, const MqttAdapter* mqtt = nullptr,
                   const SparkplugAdapter* sparkplug = nullptr);

}  // namespace qvgateway
