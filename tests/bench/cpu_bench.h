// The driver's own cost, without a line: CPU per call over an in-memory
// port, and heap allocations per transaction.
#pragma once

#include "tests/bench/bench_report.h"

namespace qvbench {

// `calls` calls per run, several runs; the median run counts.
void RunCpuBench(int calls, Results* results);
void CountAllocations(int transactions, Results* results);

}  // namespace qvbench
