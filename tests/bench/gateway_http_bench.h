// The gateway's HTTP side under the bench: /metrics scraped again and
// again while the line is polled.
#pragma once

#include <string>

namespace gwbench {

// One GET over a fresh connection, as a Prometheus server makes it: the
// status code (0 when it failed) and the body.
int HttpGet(int port, const std::string& path, std::string* body);

// The HTTP port in a gateway's start line ("HTTP on 127.0.0.1:N"), 0 if none.
int HttpPort(const std::string& log);

// `scrapes` scrapes of /metrics of a gateway whose plan has 100 read
// registers over four stations: median and p99 in ms, printed, and as JSON
// ("\"scrape\": {...}") returned. `failures` grows on a failed scrape.
std::string ScrapeBench(const std::string& bin, const std::string& work, int scrapes, int* failures);

}  // namespace gwbench
