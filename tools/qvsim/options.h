// qvsim's command line.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "tools/common/memory_preset.h"
#include "tools/qvsim/controller.h"
#include "tools/qvsim/faults.h"

namespace qvsim {

struct Options {
  std::string line;  // as SimLine::Open takes it
  std::set<int> stations;
  std::vector<qvtools::MemoryPreset> presets;
  std::vector<std::pair<int, int>> counting;  // D first..last, counting up at each read
  int tickMs = 0;  // > 0: the counting registers count up every tickMs, not at reads
  int baud = 0;
  int lineBaud = 0;  // answer only while the line runs at this speed; 0: at any
  int bitsPerByte = 10;
  int turnaroundMs = 0;
  FaultSelection faults;
  int splitPauseMs = 30;
  long requests = -1;
  // Stations SIGUSR1 silences and SIGUSR2 lets answer again (POSIX); empty:
  // every station served.
  std::set<int> switchable;
  bool trace = false;
};

// -1 to run, else the exit status (0 after --help or --version, 2 after a
// usage error, reported on standard error).
int ParseOptions(int argc, char** argv, Options* options);

}  // namespace qvsim
