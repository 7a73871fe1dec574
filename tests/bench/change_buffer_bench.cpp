#include "tests/bench/change_buffer_bench.h"

#include <stdio.h>

#include <chrono>
#include <vector>

#include "tools/qvgateway/sparkplug/change_buffer.h"

namespace gwbench {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// About the size of one metric of a DDATA payload, each one different.
std::string Change(int i) {
  char text[64];
  snprintf(text, sizeof text, "metric D%05d value %010d quality 192 ....................", i % 1000, i);
  return text;
}

}  // namespace

std::string ChangeBufferBench(const std::string& work, int changes, int* failures) {
  const std::string folder = work + "/buffer";
  const uint64_t bound = 64ull << 20;
  std::string json = "\"buffer\": {\"changes\": " + std::to_string(changes) + ", \"replay\": [";
  printf("\nstore-and-forward file, %d changes of %zu bytes\n", changes, Change(0).size());
  for (int batch : {100, 1000}) {
    double appendNs = 0, syncMs = 0, openMs = 0, replayRate = 0;
    {
      qvgateway::ChangeBuffer buffer;
      std::string error;
      if (!buffer.Open(folder, bound, &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        ++*failures;
        return json + "]}";
      }
      const auto start = Clock::now();
      for (int i = 0; i < changes; ++i) {
        if (!buffer.Append(1765000000000 + i, Change(i))) ++*failures;
      }
      appendNs = Seconds(start) * 1e9 / changes;
      const auto sync = Clock::now();
      buffer.Sync();
      syncMs = Seconds(sync) * 1e3;
    }
    qvgateway::ChangeBuffer buffer;
    std::string error;
    const auto open = Clock::now();
    if (!buffer.Open(folder, bound, &error) || buffer.Depth() != static_cast<size_t>(changes)) ++*failures;
    openMs = Seconds(open) * 1e3;
    const auto replay = Clock::now();
    int next = 0;
    for (;;) {
      const std::vector<qvgateway::BufferedRecord> records = buffer.Peek(static_cast<size_t>(batch));
      if (records.empty()) break;
      for (const auto& record : records) {
        if (record.bytes != Change(next) || record.unixMs != 1765000000000 + next) ++*failures;
        ++next;
      }
      buffer.Consume(records.size());
    }
    buffer.Clear();
    replayRate = next / Seconds(replay);
    if (next != changes) ++*failures;
    printf("  batches of %4d: append %.0f ns a change, sync %.1f ms, open %.1f ms, replay %.0f changes/s\n", batch,
           appendNs, syncMs, openMs, replayRate);
    json += std::string(batch == 100 ? "" : ", ") + "{\"batch\": " + std::to_string(batch) +
            ", \"append_ns\": " + std::to_string(appendNs) + ", \"sync_ms\": " + std::to_string(syncMs) +
            ", \"open_ms\": " + std::to_string(openMs) + ", \"changes_per_s\": " + std::to_string(replayRate) + "}";
  }
  return json + "]}";
}

}  // namespace gwbench
