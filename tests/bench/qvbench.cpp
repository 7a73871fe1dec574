// qvbench: how close the driver gets to the wire, what it costs in CPU,
// and whether a scan groups into the fewest blocks.
//   qvbench [--smoke] [--cpu-only] [--out DIR] [--transactions N] [--execution native|emulated]
//           [--baud N] [--device NAME] [--line-only]
// --device: a simulator already serves NAME's far end, paced to the one
// --baud given (the bench under Wine); without it qvbench starts its own.
// Exit status 1 when a result is wrong (failed transactions, allocations,
// more blocks than needed); timings are reported, never judged here.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "tests/bench/cpu_bench.h"
#include "tests/bench/line_bench.h"

namespace {

struct Targets {
  int failures = 0;
  void Check(bool met, const std::string& what, bool hard) {
    printf("  %-4s %s\n", met ? "met" : "MISS", what.c_str());
    if (!met && hard) ++failures;
  }
};

}  // namespace

int main(int argc, char** argv) {
  bool smoke = false, cpuOnly = false, lineOnly = false;
  std::string out = ".";
  int transactions = 200;
  std::string device;
  std::vector<int> bauds = {9600, 19200, 57600};
  qvbench::Results results;
  results.execution = "native";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--smoke") {
      smoke = true;
      transactions = 5;
    } else if (arg == "--cpu-only") {
      cpuOnly = true;
    } else if (arg == "--line-only") {
      lineOnly = true;
    } else if (arg == "--out" && i + 1 < argc) {
      out = argv[++i];
    } else if (arg == "--transactions" && i + 1 < argc) {
      transactions = atoi(argv[++i]);
    } else if (arg == "--execution" && i + 1 < argc) {
      results.execution = argv[++i];
    } else if (arg == "--baud" && i + 1 < argc) {
      bauds = {atoi(argv[++i])};
    } else if (arg == "--device" && i + 1 < argc) {
      device = argv[++i];
    } else {
      fprintf(stderr,
              "usage: qvbench [--smoke] [--cpu-only] [--out DIR] [--transactions N] [--execution native|emulated] "
              "[--baud N] [--device NAME] [--line-only]\n");
      return 2;
    }
  }
  if (transactions < 1) transactions = 1;

  if (!lineOnly) qvbench::RunCpuBench(smoke ? 2000 : 200000, &results);
  if (cpuOnly) {
    qvbench::PrintTable(results, stdout);
    return 0;
  }
  for (const char* wait : {"poll", "early"}) {
    for (int baud : bauds) {
      if (!qvbench::RunLineBench(baud, transactions, wait, device, &results)) return 1;
    }
  }
  if (!lineOnly) qvbench::CountAllocations(smoke ? 300 : 30000, &results);
  // The scan runs at 57600 baud; a simulator started elsewhere is paced to
  // its own baud, so the scan runs only where qvbench starts it.
  if (device.empty() && !qvbench::RunScanBench(smoke ? 10 : 100000, device, &results)) return 1;

  qvbench::PrintTable(results, stdout);
  printf("\nTargets\n");
  Targets targets;
  for (const qvbench::LineRow& row : results.line) {
    const std::string name = std::to_string(row.baud) + " " + row.wait + " " + row.shape;
    targets.Check(row.failures == 0, name + ": every transaction succeeded", true);
    if (row.wait == "early") {
      targets.Check(row.OverheadMedianMs() <= 1, name + ": overhead at the median <= 1 ms", false);
      targets.Check(row.OverheadP95Ms() <= 3, name + ": overhead at the 95th percentile <= 3 ms", false);
    } else {
      targets.Check(row.OverheadP95Ms() <= 10 + 1, name + ": overhead at the 95th percentile <= one poll", false);
    }
  }
  if (!lineOnly) targets.Check(results.allocationsPerTransaction == 0, "0 heap allocations per ExecuteBlock", true);
  for (const qvbench::CpuRow& row : results.cpu) {
    if (row.operation == "ExecuteBlock (32-register read)") {
      targets.Check(row.nsPerCall >= 0, "the in-memory 32-register read decoded", true);
      targets.Check(row.nsPerCall < 1000, "ExecuteBlock with a 32-register decode under 1 us", false);
      for (const qvbench::CpuRow& traced : results.cpu) {
        if (traced.operation == "ExecuteBlock (32-register read, trace on)") {
          targets.Check(traced.nsPerCall - row.nsPerCall <= 50000, "the trace costs <= 50 us a transaction", false);
        }
      }
    }
  }
  const qvbench::ScanResult& scan = results.scan;
  if (device.empty()) {
    targets.Check(scan.blocks == scan.minimumBlocks, "the scan uses the minimum number of blocks", true);
    targets.Check(scan.failures == 0, "every scan block succeeded", true);
  }

  const bool written = qvbench::WriteJson(results, out + "/results.json") &&
                       qvbench::WritePlotData(results, out + "/line.dat");
  if (!written) {
    fprintf(stderr, "qvbench: cannot write into %s\n", out.c_str());
    return 1;
  }
  printf("\nwritten: %s/results.json, %s/line.dat\n", out.c_str(), out.c_str());
  return targets.failures == 0 ? 0 : 1;
}
