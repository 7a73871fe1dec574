// gateway_bench: what qvgateway costs and carries, measured with libmodbus
// clients on loopback against qvsim paced to the baud rate.
//   gateway_bench BIN_DIR [--smoke] [--out DIR] [--execution native|emulated] [--only sparkplug]
// Served from cache (1, 8, 32 clients, 10 registers a request): requests
// per second, p50 and p99. A read that needs the line: its time over the
// wire time at 9600 and 57600 baud, poll and early wait. A poll plan that
// fills the line: wire time over wall time. 100,000 requests: resident
// memory and descriptors before and after. /metrics with 100 tags: scrape
// time, median and p99. MQTT: a change in qvsim to a subscriber's receipt
// against the poll period. The store-and-forward file: ns per buffered
// change, and changes a second read back for a replay. Exit status 1 only when a request failed; timings
// are reported, never judged here.
#include <errno.h>
#include <modbus/modbus.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/bench/change_buffer_bench.h"
#include "tests/bench/gateway_http_bench.h"
#include "tests/bench/gateway_mqtt_bench.h"
#include "tests/bench/gateway_sparkplug_bench.h"
#include "tests/bench/gateway_processes.h"
#include "tools/qvgateway/line/wire_time.h"

namespace {

using Clock = std::chrono::steady_clock;
std::atomic<int> failures{0};

std::string Toml(int baud, const std::string& wait, int pollMs, int maxAgeMs, const std::string& read) {
  return "[line]\nport = \"LINK\"\nbaud = " + std::to_string(baud) + "\ntimeout_ms = 1000\nreply_wait = \"" + wait +
         "\"\n[modbus]\nlisten = \"127.0.0.1:0\"\nmax_clients = 64\n[[station]]\nnumber = 1\npoll_ms = " +
         std::to_string(pollMs) + "\nmax_age_ms = " + std::to_string(maxAgeMs) + "\nread = [" + read + "]\n";
}

std::string WithLink(std::string toml, const std::string& work) {
  toml.replace(toml.find("LINK"), 4, work + "/line");
  return toml;
}

modbus_t* Connect(int port) {
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
  modbus_set_response_timeout(ctx, 5, 0);
  if (modbus_connect(ctx) != 0) {
    modbus_free(ctx);
    return nullptr;
  }
  modbus_set_slave(ctx, 1);
  return ctx;
}

// `clients` threads, each `requests` reads of D100..D109; latencies in ms.
// `pauseUs` between a client's requests lets max_age_ms run out.
std::vector<double> Load(int port, int clients, int requests, double* seconds, int pauseUs = 0) {
  std::vector<std::vector<double>> each(static_cast<size_t>(clients));
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      modbus_t* ctx = Connect(port);
      if (ctx == nullptr) {
        fprintf(stderr, "cannot connect to port %d: %s\n", port, modbus_strerror(errno));
        ++failures;
        return;
      }
      uint16_t values[10];
      for (int i = 0; i < requests; ++i) {
        const auto t = Clock::now();
        if (modbus_read_registers(ctx, 100, 10, values) != 10 || values[0] != 1234) {
          if (failures++ < 5) {
            fprintf(stderr, "read %d of client %d on port %d failed after %.1f ms: %s\n", i, c, port,
                    std::chrono::duration<double, std::milli>(Clock::now() - t).count(), modbus_strerror(errno));
          }
        }
        each[static_cast<size_t>(c)].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
        if (pauseUs > 0) usleep(static_cast<useconds_t>(pauseUs));
      }
      modbus_close(ctx);
      modbus_free(ctx);
    });
  }
  for (auto& t : threads) t.join();
  *seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  for (auto& e : each) all.insert(all.end(), e.begin(), e.end());
  std::sort(all.begin(), all.end());
  return all;
}

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return NAN;
  return sorted[std::min(sorted.size() - 1, static_cast<size_t>(p * sorted.size()))];
}

uint32_t Transactions(int port) {
  modbus_t* ctx = Connect(port);
  uint16_t r[4] = {};
  if (ctx == nullptr || modbus_read_input_registers(ctx, 9000, 4, r) != 4) ++failures;
  if (ctx != nullptr) {
    modbus_close(ctx);
    modbus_free(ctx);
  }
  return static_cast<uint32_t>(r[2]) << 16 | r[3];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: gateway_bench BIN_DIR [--smoke] [--out DIR] [--execution native|emulated] [--only sparkplug]\n");
    return 2;
  }
  const std::string bin = argv[1];
  bool smoke = false;
  std::string out = ".", execution = "native", only;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--smoke") smoke = true;
    if (arg == "--out" && i + 1 < argc) out = argv[++i];
    if (arg == "--execution" && i + 1 < argc) execution = argv[++i];
    if (arg == "--only" && i + 1 < argc) only = argv[++i];
  }
  char pattern[] = "/tmp/qvgwbench.XXXXXX";
  const std::string work = mkdtemp(pattern);
  std::string json = "{\"execution\": \"" + execution + "\"";
  printf("qvgateway bench (%s execution)\n", execution.c_str());
  if (only == "sparkplug") {
    // One part alone, while working on it.
    int sparkplugFailures = 0;
    json += ", " + gwbench::SparkplugBench(bin, work, smoke ? std::vector<int>{100} : std::vector<int>{100, 250, 500, 1000},
                                           smoke ? 6 : 30, smoke ? 2000 : 100000, &sparkplugFailures) + "}\n";
    std::ofstream(out + "/gateway-sparkplug.json") << json;
    system(("rm -rf " + work).c_str());
    return sparkplugFailures == 0 ? 0 : 1;
  }

  {
    gwbench::Rig rig(bin, work, 57600, WithLink(Toml(57600, "early", 200, 600000, "\"D100..D131\""), work));
    rig.Watch(&failures);
    double s = 0;
    Load(rig.port, 1, 10, &s);  // the cache filled once
    printf("\nfrom cache, 10 registers a request\n%8s %10s %9s %9s\n", "clients", "req/s", "p50 ms", "p99 ms");
    json += ", \"cache\": [";
    for (int clients : {1, 8, 32}) {
      const int requests = smoke ? 20 : 40000 / clients;
      const auto lat = Load(rig.port, clients, requests, &s);
      printf("%8d %10.0f %9.3f %9.3f\n", clients, lat.size() / s, Percentile(lat, 0.5), Percentile(lat, 0.99));
      json += std::string(clients == 1 ? "" : ", ") + "{\"clients\": " + std::to_string(clients) +
              ", \"rps\": " + std::to_string(lat.size() / s) + ", \"p50_ms\": " + std::to_string(Percentile(lat, 0.5)) +
              ", \"p99_ms\": " + std::to_string(Percentile(lat, 0.99)) + "}";
    }
    json += "]";

    long rssBefore = 0, rssAfter = 0;
    int fdsBefore = 0, fdsAfter = 0;
    const int total = smoke ? 1000 : 100000;
    Load(rig.port, 8, total / 10 / 8, &s);
    gwbench::Resources(rig.Gateway(), &rssBefore, &fdsBefore);
    Load(rig.port, 8, total / 8, &s);
    gwbench::Resources(rig.Gateway(), &rssAfter, &fdsAfter);
    printf("\n%d requests (8 clients): resident %ld kB -> %ld kB, descriptors %d -> %d\n", total + total / 10,
           rssBefore, rssAfter, fdsBefore, fdsAfter);
    json += ", \"resources\": {\"requests\": " + std::to_string(total + total / 10) + ", \"rss_kb\": [" +
            std::to_string(rssBefore) + ", " + std::to_string(rssAfter) + "], \"fds\": [" + std::to_string(fdsBefore) +
            ", " + std::to_string(fdsAfter) + "]}";
  }

  printf("\na read that needs the line (max_age_ms 1, 3 ms between requests), D100..D109, one client\n%6s %6s %9s %9s %11s\n", "baud",
         "wait", "wire ms", "p50 ms", "over wire");
  json += ", \"line\": [";
  bool first = true;
  for (int baud : {9600, 57600}) {
    for (const char* wait : {"poll", "early"}) {
      gwbench::Rig rig(bin, work, baud, WithLink(Toml(baud, wait, 0, 1, "\"D100..D109\""), work));
      rig.Watch(&failures);
      double s = 0;
      const auto lat = Load(rig.port, 1, smoke ? 5 : 100, &s, 3000);
      const double wire = qvgateway::WireMs(qvgateway::ReadTransactionBytes(qvgateway::Area::D, 10), 10, baud);
      printf("%6d %6s %9.2f %9.2f %11.2f\n", baud, wait, wire, Percentile(lat, 0.5), Percentile(lat, 0.5) - wire);
      json += std::string(first ? "" : ", ") + "{\"baud\": " + std::to_string(baud) + ", \"wait\": \"" + wait +
              "\", \"wire_ms\": " + std::to_string(wire) + ", \"p50_ms\": " + std::to_string(Percentile(lat, 0.5)) + "}";
      first = false;
    }
  }
  json += "]";

  {
    // Four blocks of 32 registers at 9600 baud; a period the plan just fits.
    const double block = qvgateway::WireMs(qvgateway::ReadTransactionBytes(qvgateway::Area::D, 32), 10, 9600);
    const int period = static_cast<int>(std::ceil(4 * block / 0.99));
    gwbench::Rig rig(bin, work, 9600, WithLink(Toml(9600, "early", period, 600000, "\"D0..D127\""), work));
    const uint32_t before = Transactions(rig.port);
    const auto start = Clock::now();
    usleep(smoke ? 1500000 : 8000000);
    const uint32_t after = Transactions(rig.port);
    const double wall = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const double used = (after - before) * block / wall;
    printf("\na plan that fills the line: 4 blocks of 32 registers every %d ms at 9600 baud (plan %.1f%%)\n"
           "  %u transactions in %.0f ms: line busy %.1f%% (wire time / wall time)\n",
           period, 400 * block / period, after - before, wall, 100 * used);
    json += ", \"saturation\": {\"period_ms\": " + std::to_string(period) + ", \"transactions\": " +
            std::to_string(after - before) + ", \"utilisation\": " + std::to_string(used) + "}";
  }
  {
    int scrapeFailures = 0;
    json += ", " + gwbench::ScrapeBench(bin, work, smoke ? 10 : 500, &scrapeFailures);
    failures += scrapeFailures;
  }
  {
    int mqttFailures = 0;
    const std::vector<int> periods = smoke ? std::vector<int>{100} : std::vector<int>{100, 250, 500, 1000};
    json += ", " + gwbench::MqttLatencyBench(bin, work, periods, smoke ? 6 : 30, &mqttFailures);
    failures += mqttFailures;
  }
  {
    int bufferFailures = 0;
    json += ", " + gwbench::ChangeBufferBench(work, smoke ? 2000 : 100000, &bufferFailures);
    failures += bufferFailures;
  }
  {
    int sparkplugFailures = 0;
    const std::vector<int> periods = smoke ? std::vector<int>{100} : std::vector<int>{100, 250, 500, 1000};
    json += ", " + gwbench::SparkplugBench(bin, work, periods, smoke ? 6 : 30, smoke ? 2000 : 100000,
                                           &sparkplugFailures);
    failures += sparkplugFailures;
  }
  json += ", \"failures\": " + std::to_string(failures.load()) + "}\n";
  std::ofstream(out + "/gateway.json") << json;
  system(("rm -rf " + work).c_str());
  printf("\nfailed requests: %d; results in %s/gateway.json\n", failures.load(), out.c_str());
  return failures == 0 ? 0 : 1;
}
