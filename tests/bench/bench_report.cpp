#include "tests/bench/bench_report.h"

#include <algorithm>
#include <cmath>

namespace qvbench {

double Percentile(std::vector<double>& sample, double share) {
  if (sample.empty()) return 0;
  std::sort(sample.begin(), sample.end());
  const size_t at = static_cast<size_t>(std::ceil(share * static_cast<double>(sample.size()))) - 1;
  return sample[std::min(at, sample.size() - 1)];
}

void PrintTable(const Results& r, FILE* out) {
  fprintf(out, "Line (qvsim paced to the baud rate, turnaround 2 ms; 32-bit code %s)\n", r.execution.c_str());
  fprintf(out, "%6s %-5s  %-8s %5s %5s %9s %9s %9s %7s %10s %10s %6s %8s\n", "baud", "wait", "shape", "n", "fail",
          "ideal ms", "median", "p95", "util", "over med", "over p95", "looks", "cpu us");
  for (const LineRow& row : r.line) {
    fprintf(out, "%6d %-5s  %-8s %5d %5d %9.2f %9.2f %9.2f %6.0f%% %10.2f %10.2f %6.1f %8.0f\n", row.baud,
            row.wait.c_str(), row.shape.c_str(), row.transactions, row.failures, row.idealMs, row.medianMs, row.p95Ms,
            100 * row.Utilisation(), row.OverheadMedianMs(), row.OverheadP95Ms(), row.looksPerTransaction,
            row.cpuUsPerTransaction);
  }
  fprintf(out, "(looks: checks of the port, or early waits, per transaction; cpu: the driver thread's CPU time)\n");
  fprintf(out, "\nCPU per call (in-memory port, median of runs)\n");
  for (const CpuRow& row : r.cpu) fprintf(out, "  %-34s %10.0f ns\n", row.operation.c_str(), row.nsPerCall);
  fprintf(out, "\nHeap allocations per ExecuteBlock: %g\n", r.allocationsPerTransaction);
  const ScanResult& s = r.scan;
  fprintf(out, "\nScan: %d tags in \"D\" 0..8199 -> %d blocks (minimum %d); %d executed at 57600 baud, %d failed\n",
          s.tags, s.blocks, s.minimumBlocks, s.executed, s.failures);
  fprintf(out, "      %.0f ms measured, %.0f ms wire-limited ideal\n", s.measuredMs, s.idealMs);
}

bool WriteJson(const Results& r, const std::string& path) {
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  fprintf(f, "{\n  \"execution\": \"%s\",\n  \"line\": [\n", r.execution.c_str());
  for (size_t i = 0; i < r.line.size(); ++i) {
    const LineRow& row = r.line[i];
    fprintf(f,
            "    {\"baud\": %d, \"wait\": \"%s\", \"shape\": \"%s\", \"transactions\": %d, \"failures\": %d, "
            "\"ideal_ms\": %.3f, \"median_ms\": %.3f, \"p95_ms\": %.3f, \"utilisation\": %.3f, "
            "\"overhead_median_ms\": %.3f, \"overhead_p95_ms\": %.3f, \"looks_per_transaction\": %.2f, "
            "\"cpu_us_per_transaction\": %.1f}%s\n",
            row.baud, row.wait.c_str(), row.shape.c_str(), row.transactions, row.failures, row.idealMs, row.medianMs,
            row.p95Ms, row.Utilisation(), row.OverheadMedianMs(), row.OverheadP95Ms(), row.looksPerTransaction,
            row.cpuUsPerTransaction, i + 1 < r.line.size() ? "," : "");
  }
  fprintf(f, "  ],\n  \"cpu_ns_per_call\": {");
  for (size_t i = 0; i < r.cpu.size(); ++i) {
    fprintf(f, "%s\"%s\": %.1f", i ? ", " : "", r.cpu[i].operation.c_str(), r.cpu[i].nsPerCall);
  }
  const ScanResult& s = r.scan;
  fprintf(f, "},\n  \"allocations_per_execute_block\": %g,\n", r.allocationsPerTransaction);
  fprintf(f,
          "  \"scan\": {\"tags\": %d, \"blocks\": %d, \"minimum_blocks\": %d, \"executed\": %d, \"failures\": %d, "
          "\"measured_ms\": %.1f, \"ideal_ms\": %.1f}\n}\n",
          s.tags, s.blocks, s.minimumBlocks, s.executed, s.failures, s.measuredMs, s.idealMs);
  return fclose(f) == 0;
}

bool WritePlotData(const Results& r, const std::string& path) {
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  fprintf(f, "# baud shape ideal_ms median_ms p95_ms (one data set per wait and baud)\n");
  std::string set;
  for (const LineRow& row : r.line) {
    const std::string key = row.wait + std::to_string(row.baud);
    if (!set.empty() && key != set) fprintf(f, "\n\n");
    set = key;
    fprintf(f, "%d \"%s\" %.3f %.3f %.3f\n", row.baud, row.shape.c_str(), row.idealMs, row.medianMs, row.p95Ms);
  }
  return fclose(f) == 0;
}

}  // namespace qvbench
