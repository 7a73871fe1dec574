// qvpoll's command line: what the user asked for, every value checked.
#pragma once

#include <string>
#include <vector>

namespace qvpoll {

enum class Format { Table, Csv, Json };

struct Options {
  // The line.
  std::string port;
  int baud = 9600;
  int dataBits = 8;
  int parity = 0;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
  int stopBits = 1;
  int timeoutMs = 1000;
  std::vector<int> stations{1};  // one today; a list so that several can share the line
  // The job.
  std::vector<std::string> tags;  // TAG or TAG=VALUE, as typed
  long count = 1;                 // 0: until interrupted
  long intervalMs = 1000;
  bool keepGoing = false;  // send the writes after a failed one
  // The report.
  Format format = Format::Table;
  std::string output;  // empty: standard output
  bool append = false;
  bool utc = false;
  // Where the driver and the line come from.
  std::string module;
  bool sim = false;
  std::vector<int> simStations;  // empty: the polled stations
  std::vector<std::string> simSets;
};

// -1 to run, else the exit status (0 after --help or --version, 2 after a
// usage error, reported on standard error).
int ParseOptions(int argc, char** argv, Options* options);

}  // namespace qvpoll
