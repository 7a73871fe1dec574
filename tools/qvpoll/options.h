// qvpoll's command line: what the user asked for, every value checked.
#pragma once

#include <string>
#include <vector>

#include "tools/host/value_types.h"

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
  std::vector<int> stations{1};  // several share the line, one driver object each
  bool stationsGiven = false;
  // The driver's station check for this run's objects: -1 as the machine
  // has it (one station), or on (several stations, --check-station) or
  // off (--no-check-station).
  int checkStation = -1;
  // The driver's RS-485 direction switching for this run's objects: empty
  // as the machine has it (off unless set), else "off", "rts-on-send" or
  // "rts-after-send", with its delays.
  std::string rs485;
  long rs485DelayBeforeUs = 0;
  long rs485DelayAfterUs = 0;
  // The job.
  std::vector<std::string> tags;  // TAG or TAG=VALUE, as typed
  long count = 1;                 // 0: until interrupted
  long intervalMs = 1000;
  bool keepGoing = false;  // send the writes after a failed one
  bool changes = false;    // after the first scan, rows only for changes and failures
  qvhost::ValueType type = qvhost::ValueType::U16;
  qvhost::WordOrder wordOrder = qvhost::WordOrder::HighFirst;
  // Looking for a controller instead of polling one.
  bool scan = false;
  std::vector<int> bauds;     // empty: --baud
  std::vector<int> parities;  // empty: --parity
  // The report.
  Format format = Format::Table;
  std::string output;  // empty: standard output
  bool append = false;
  bool utc = false;
  bool quiet = false;  // rows only
  bool trace = false;  // the driver's trace to standard error
  bool version = false;
  // Where the driver and the line come from.
  std::string module;
  bool sim = false;
  std::vector<int> simStations;  // empty: the polled stations
  std::vector<std::string> simSets;
};

// -1 to run, else the exit status (0 after --help, 2 after a usage error,
// reported on standard error). --version runs: it names the driver loaded.
int ParseOptions(int argc, char** argv, Options* options);

// "none", "odd", ... for a parity code.
const char* ParityName(int parity);

// --station's list: 1,2,5-8; false with what is wrong.
bool ParseStationList(const std::string& text, std::vector<int>* stations, std::string* problem);

}  // namespace qvpoll
