#include "tests/bench/gateway_sparkplug_bench.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>

#include "tests/bench/gateway_processes.h"
#include "tools/qvgateway/line/wire_time.h"
#include "tools/qvgateway/sparkplug/buffered_change.h"
#include "tools/qvgateway/sparkplug/change_buffer.h"
#include "tools/qvgateway/sparkplug/sparkplug_payload.h"

namespace gwbench {
namespace {

const char* const kRegister = "D101";  // Rig presets D100; this one starts at 0, so its value is the tick
constexpr int kScanMs = 20;            // the edge node's look at the cache

std::string Toml(const std::string& work, int brokerPort, int pollMs, const std::string& more) {
  return "[line]\nport = \"" + work + "/line\"\nbaud = 9600\ntimeout_ms = 1000\nreply_wait = \"early\"\n"
         "[modbus]\nlisten = \"127.0.0.1:0\"\n[[station]]\nnumber = 1\nname = \"press1\"\npoll_ms = " +
         std::to_string(pollMs) + "\nread = [\"" + kRegister + "\"]\n[sparkplug]\nbroker = \"127.0.0.1:" +
         std::to_string(brokerPort) + "\"\ngroup_id = \"bench\"\nedge_node_id = \"line1\"\n" + more +
         "[[tag]]\nname = \"count\"\nstation = 1\naddress = \"" + kRegister + "\"\n";
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(strtol(hex.substr(i, 2).c_str(), nullptr, 16));
  return bytes;
}

// Each DDATA metric from mosquitto_sub's lines ("UNIX-SECONDS HEX-PAYLOAD"),
// with the second it arrived.
struct Received {
  double atS = 0;
  qvgateway::MetricOut metric;
};

std::vector<Received> Decode(const std::string& lines) {
  std::vector<Received> out;
  std::istringstream in(lines);
  std::string line;
  while (std::getline(in, line)) {
    const size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    int64_t unixMs = 0;
    int seq = 0;
    std::vector<qvgateway::MetricOut> metrics;
    if (!qvgateway::DecodeMetrics(FromHex(line.substr(space + 1)), &unixMs, &seq, &metrics)) continue;
    for (const auto& m : metrics) out.push_back({atof(line.c_str()), m});
  }
  return out;
}

pid_t Subscribe(const std::string& work, int port, int count, int seconds) {
  return Spawn({"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-q", "1", "-t",
                "spBv1.0/bench/DDATA/line1/press1", "-F", "%U %x", "-C", std::to_string(count), "-W",
                std::to_string(seconds)},
               work + "/sub.log", work + "/sub.out");
}

void Await(pid_t pid, int seconds) {
  int status = 0;
  for (int waited = 0; waited < seconds * 100 && waitpid(pid, &status, WNOHANG) == 0; ++waited) usleep(10000);
  End(pid);
}

// Unix ms of the gateway's log line holding `text` ("2026-...T11:22:33.456+00:00 qvgateway: ..."), or -1.
int64_t LoggedAtMs(const std::string& log, const std::string& text) {
  const size_t at = log.find(text);
  if (at == std::string::npos) return -1;
  const size_t start = log.rfind('\n', at) == std::string::npos ? 0 : log.rfind('\n', at) + 1;
  struct tm t {};
  int ms = 0;
  if (sscanf(log.c_str() + start, "%d-%d-%dT%d:%d:%d.%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
             &t.tm_sec, &ms) != 7) {
    return -1;
  }
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  // The log's offset is the machine's; only the difference of two is used.
  return static_cast<int64_t>(timegm(&t)) * 1000 + ms;
}

std::string Latency(const std::string& bin, const std::string& work, const Broker& broker,
                    const std::vector<int>& pollMs, int changes, int* failures) {
  const double wire = qvgateway::WireMs(qvgateway::ReadTransactionBytes(qvgateway::Area::D, 1), 10, 9600);
  printf("\nSparkplug DDATA latency: a qvsim register changing on a clock, to mosquitto_sub on loopback\n"
         "(9600 baud, early wait, one tag, QoS 1; wire time %.2f ms; the node looks at the cache every %d ms)\n"
         "%8s %8s %8s %8s %10s %8s %8s %8s %17s\n",
         wire, kScanMs, "poll ms", "tick ms", "changes", "skipped", "median ms", "p90 ms", "p99 ms", "max ms",
         "goal: poll+wire+50");
  std::string json = "\"latency\": [";
  for (size_t i = 0; i < pollMs.size(); ++i) {
    const int poll = pollMs[i], tick = poll * 4 / 3 + 7;  // no multiple of the poll period
    const int seconds = 10 + (changes + 3) * tick / 1000;
    const pid_t sub = Subscribe(work, broker.port, changes + 2, seconds);
    usleep(300000);  // subscribed before the first publish
    double start = 0;
    {
      Rig rig(bin, work, 9600, Toml(work, broker.port, poll, ""), {1}, {"--counting", kRegister, "--tick-ms",
                                                                           std::to_string(tick)});
      Await(sub, seconds + 2);
      start = TickStart(ReadFile(work + "/qvsim.out"));
    }
    std::vector<double> ms;
    int skipped = 0;
    int64_t previous = -1;
    for (const Received& r : Decode(ReadFile(work + "/sub.out"))) {
      const int64_t value = r.metric.integer;
      if (previous >= 0 && value == previous + 1) {
        ms.push_back((r.atS - start) * 1000 - static_cast<double>(value) * tick);
      } else if (previous >= 0 && value > previous + 1) {
        skipped += static_cast<int>(value - previous - 1);
      }
      previous = value;
    }
    std::sort(ms.begin(), ms.end());
    const double goal = poll + wire + 50;
    json += std::string(i == 0 ? "" : ", ") + "{\"poll_ms\": " + std::to_string(poll) + ", \"tick_ms\": " +
            std::to_string(tick) + ", \"changes\": " + std::to_string(ms.size()) + ", \"skipped\": " +
            std::to_string(skipped) + ", \"goal_ms\": " + std::to_string(goal);
    if (ms.empty()) {
      fprintf(stderr, "poll %d ms: no change seen\n%s\n", poll, ReadFile(work + "/sub.log").c_str());
      ++*failures;
      json += "}";
      continue;
    }
    printf("%8d %8d %8zu %8d %10.1f %8.1f %8.1f %8.1f %17.1f\n", poll, tick, ms.size(), skipped, At(ms, 0.5),
           At(ms, 0.9), At(ms, 0.99), ms.back(), goal);
    json += ", \"median_ms\": " + std::to_string(At(ms, 0.5)) + ", \"p99_ms\": " + std::to_string(At(ms, 0.99)) +
            ", \"max_ms\": " + std::to_string(ms.back()) + "}";
  }
  return json + "]";
}

std::string Replay(const std::string& bin, const std::string& work, const Broker& broker, int buffered,
                   int* failures) {
  const std::string folder = work + "/buffer";
  {
    qvgateway::ChangeBuffer buffer;
    std::string error;
    if (!buffer.Open(folder, uint64_t{64} << 20, &error)) {
      fprintf(stderr, "the buffer cannot be made: %s\n", error.c_str());
      ++*failures;
      return "\"replay\": null";
    }
    qvgateway::TagReading reading;
    reading.quality = qvgateway::Quality::Good;
    reading.value.kind = qvgateway::EngineeringValue::Kind::Integer;
    for (int i = 0; i < buffered; ++i) {
      reading.value.integer = i;
      buffer.Append(1700000000000 + i, qvgateway::EncodeChange("count", reading));
    }
    buffer.Sync();
  }
  // The replay's messages carry up to 500 changes each; a few live ones follow.
  const pid_t sub = Subscribe(work, broker.port, buffered / 500 + 3, 120);
  usleep(300000);
  std::string log;
  {
    Rig rig(bin, work, 9600, Toml(work, broker.port, 1000, "buffer_dir = \"" + folder + "\"\n"), {1}, {});
    for (int i = 0; i < 12000 && rig.Log().find("buffer replayed") == std::string::npos; ++i) usleep(10000);
    log = rig.Log();
    Await(sub, 5);
  }
  std::vector<int64_t> values;
  for (const Received& r : Decode(ReadFile(work + "/sub.out"))) {
    if (r.metric.historical) values.push_back(r.metric.integer);
  }
  // The register's own value after the start (0, not the last buffered)
  // is one more change, buffered behind them.
  bool inOrder = values.size() == static_cast<size_t>(buffered) || values.size() == static_cast<size_t>(buffered) + 1;
  for (size_t i = 0; inOrder && i < static_cast<size_t>(buffered); ++i) inOrder = values[i] == static_cast<int64_t>(i);
  const int64_t first = LoggedAtMs(log, "Sparkplug: replaying"), last = LoggedAtMs(log, "buffer replayed");
  const double seconds = first < 0 || last < 0 ? 0 : static_cast<double>(last - first) / 1000;
  const double rate = seconds > 0 ? buffered / seconds : 0;
  printf("\nSparkplug replay: %d buffered changes to mosquitto on loopback, in DDATA of up to 500, QoS 1\n"
         "  %zu received historical, %s; %.2f s from the first to the last acknowledgement: %.0f changes/s "
         "(goal 10,000)\n",
         buffered, values.size(), inOrder ? "each once, in order" : "NOT each once in order", seconds, rate);
  if (!inOrder || rate == 0) {
    fprintf(stderr, "qvgateway's log:\n%s", log.c_str());
    ++*failures;
  }
  return "\"replay\": {\"changes\": " + std::to_string(buffered) + ", \"received\": " + std::to_string(values.size()) +
         ", \"in_order\": " + (inOrder ? "true" : "false") + ", \"seconds\": " + std::to_string(seconds) +
         ", \"per_second\": " + std::to_string(rate) + "}";
}

// While live, each change is written to the buffer and removed once its
// message is acknowledged: one Append and one Consume, timed in pairs
// (the once-a-second fsync left out).
std::string LiveCost(const std::string& work, int changes) {
  qvgateway::ChangeBuffer buffer;
  std::string error;
  if (!buffer.Open(work + "/live", uint64_t{64} << 20, &error)) return "\"live_ns_per_change\": null";
  qvgateway::TagReading reading;
  reading.quality = qvgateway::Quality::Good;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < changes; ++i) {
    reading.value.integer = i;
    buffer.Append(1700000000000 + i, qvgateway::EncodeChange("count", reading));
    buffer.Consume(1);
  }
  const double ns =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / changes;
  printf("\nThe buffer's cost while live: %.0f ns per change (one Append and one Consume, %d changes)\n", ns,
         changes);
  return "\"live_ns_per_change\": " + std::to_string(ns);
}

}  // namespace

std::string SparkplugBench(const std::string& bin, const std::string& work, const std::vector<int>& pollMs,
                           int changes, int buffered, int* failures) {
  Broker broker(work);
  if (broker.port == 0) {
    ++*failures;
    return "\"sparkplug\": null";
  }
  const std::string latency = Latency(bin, work, broker, pollMs, changes, failures);
  const std::string replay = Replay(bin, work, broker, buffered, failures);
  return "\"sparkplug\": {" + latency + ", " + replay + ", " + LiveCost(work, buffered / 5) + "}";
}

}  // namespace gwbench
