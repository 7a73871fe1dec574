#include "tests/bench/gateway_mqtt_bench.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "tests/bench/gateway_processes.h"
#include "tools/qvgateway/line/wire_time.h"

namespace gwbench {
namespace {

constexpr int kStation = 1;
const char* const kRegister = "D101";  // Rig presets D100; this one starts at 0, so its value is the tick

// Latencies in ms from mosquitto_sub's lines ("UNIX-SECONDS PAYLOAD"): a value
// counts only when the one received before it was one less, so the change
// fell while the gateway watched. `skipped` counts changes never published.
std::vector<double> Latencies(const std::string& received, double start, int tickMs, int* skipped) {
  std::vector<double> ms;
  std::istringstream lines(received);
  std::string line;
  long previous = -1;
  while (std::getline(lines, line)) {
    const size_t at = line.find("\"value\":");
    if (at == std::string::npos || line.find("\"quality\":\"good\"") == std::string::npos) continue;
    const long value = atol(line.c_str() + at + 8);
    if (previous >= 0 && value == previous + 1) {
      ms.push_back((atof(line.c_str()) - start) * 1000 - static_cast<double>(value) * tickMs);
    } else if (previous >= 0 && value > previous + 1) {
      *skipped += static_cast<int>(value - previous - 1);
    }
    previous = value;
  }
  std::sort(ms.begin(), ms.end());
  return ms;
}


}  // namespace

std::string MqttLatencyBench(const std::string& bin, const std::string& work, const std::vector<int>& pollMs,
                             int changes, int* failures) {
  Broker broker(work);
  if (broker.port == 0) {
    ++*failures;
    return "\"mqtt\": null";
  }
  const double wire = qvgateway::WireMs(qvgateway::ReadTransactionBytes(qvgateway::Area::D, 1), 10, 9600);
  printf("\nMQTT publish latency: a qvsim register changing on a clock, to mosquitto_sub on loopback\n"
         "(9600 baud, early wait, one register, qos 1; wire time %.2f ms)\n"
         "%8s %8s %8s %8s %10s %8s %8s %8s %15s\n",
         wire, "poll ms", "tick ms", "changes", "skipped", "median ms", "p90 ms", "p99 ms", "max ms", "poll/2+wire ms");
  std::string json = "\"mqtt\": [";
  for (size_t i = 0; i < pollMs.size(); ++i) {
    const int poll = pollMs[i];
    const int tick = poll * 4 / 3 + 7;  // no multiple of the poll period
    const std::string prefix = "qv/bench" + std::to_string(poll), topic = prefix + "/1/" + kRegister;
    // Enough messages for the changes and the first publishes; a time-out
    // in case the gateway is slow to come up.
    const int seconds = 10 + (changes + 3) * tick / 1000;
    const pid_t sub = Spawn({"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(broker.port), "-q", "1", "-t",
                             topic, "-R", "-F", "%U %p", "-C", std::to_string(changes + 3), "-W",
                             std::to_string(seconds)},
                            work + "/sub.log", work + "/sub.out");
    usleep(300000);  // subscribed before the first publish
    const std::string toml = "[line]\nport = \"" + work + "/line\"\nbaud = 9600\ntimeout_ms = 1000\nreply_wait = \"early\"\n"
                             "[modbus]\nlisten = \"127.0.0.1:0\"\n[[station]]\nnumber = " + std::to_string(kStation) +
                             "\npoll_ms = " + std::to_string(poll) + "\nread = [\"" + kRegister + "\"]\n"
                             "[mqtt]\nbroker = \"127.0.0.1:" + std::to_string(broker.port) + "\"\nprefix = \"" +
                             prefix + "\"\nqos = 1\n";
    double start = 0;
    {
      Rig rig(bin, work, 9600, toml, {kStation}, {"--counting", kRegister, "--tick-ms", std::to_string(tick)});
      int status = 0;
      for (int waited = 0; waited < (seconds + 2) * 100 && waitpid(sub, &status, WNOHANG) == 0; ++waited) usleep(10000);
      End(sub);
      start = TickStart(ReadFile(work + "/qvsim.out"));
      if (start == 0) fprintf(stderr, "qvsim printed no clock: %s\n", ReadFile(work + "/qvsim.out").c_str());
    }
    int skipped = 0;
    const std::string received = ReadFile(work + "/sub.out");
    const auto ms = Latencies(received, start, tick, &skipped);
    json += std::string(i == 0 ? "" : ", ") + "{\"poll_ms\": " + std::to_string(poll) + ", \"tick_ms\": " +
            std::to_string(tick) + ", \"changes\": " + std::to_string(ms.size()) + ", \"skipped\": " +
            std::to_string(skipped) + ", \"expected_ms\": " + std::to_string(poll / 2.0 + wire);
    if (ms.empty()) {
      fprintf(stderr, "poll %d ms: no change seen; mosquitto_sub got:\n%s%s\n", poll, received.c_str(),
              ReadFile(work + "/sub.log").c_str());
      ++*failures;
      json += "}";
      continue;
    }
    printf("%8d %8d %8zu %8d %10.1f %8.1f %8.1f %8.1f %15.1f\n", poll, tick, ms.size(), skipped, At(ms, 0.5),
           At(ms, 0.9), At(ms, 0.99), ms.back(), poll / 2.0 + wire);
    json += ", \"median_ms\": " + std::to_string(At(ms, 0.5)) + ", \"p90_ms\": " + std::to_string(At(ms, 0.9)) +
            ", \"p99_ms\": " + std::to_string(At(ms, 0.99)) + ", \"max_ms\": " + std::to_string(ms.back()) + "}";
  }
  return json + "]";
}

}  // namespace gwbench
