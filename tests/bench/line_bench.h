// Transactions over a real line (a pseudo-terminal) with qvsim on the far
// end, paced to the baud rate: how close the driver gets to the wire.
#pragma once

#include <string>

#include "tests/bench/bench_report.h"

namespace qvbench {

constexpr int kTurnaroundMs = 2;
constexpr int kBitsPerByte = 10;  // 8N1
constexpr int kWritePauseMs = 1;   // the driver's pause before a write

// Every block shape at `baud`, `transactions` each, with the reply wait
// `wait` ("poll" or "early"). An empty `device` starts a simulator on a
// pseudo-terminal; else one already serves that device's far end. False
// when the line could not be set up.
bool RunLineBench(int baud, int transactions, const std::string& wait, const std::string& device,
                  Results* results);

// The fewest blocks for 1,000 "D" tags, then a scan of (up to `maxBlocks`
// of) them at 57600 baud.
bool RunScanBench(int maxBlocks, const std::string& device, Results* results);

}  // namespace qvbench
