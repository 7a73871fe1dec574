// qvsim: a controller on the far end of a serial line, for tests, demos and
// commissioning without hardware.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>

#include "tools/qvsim/controller.h"
#include "tools/qvsim/sim_line.h"

namespace {

volatile sig_atomic_t stopRequested = 0;
void RequestStop(int) { stopRequested = 1; }

const char kUsage[] =
    "usage: qvsim [options]\n"
    "Answers read and write requests as a controller on a serial line.\n"
    "\n"
    "Where to serve (one of):\n"
    "  --port DEVICE      a serial device (/dev/ttyS0, COM3)\n"
    "  --pty LINK         make a pseudo-terminal and link LINK to it (POSIX)\n"
    "  --fd N             an inherited descriptor, e.g. a pty master (POSIX)\n"
    "Controller:\n"
    "  --station N        serve station N (0..255); repeat for several; default 1\n"
    "  --set AREA=VALUE   preset memory, e.g. --set D100=1234 --set M10=0x3C\n"
    "Timing:\n"
    "  --baud N           take a request's wire time at N baud before answering,\n"
    "                     and pace replies to it (default: no pacing)\n"
    "  --bits-per-byte N  bits a byte takes on the wire (default 10, 8N1)\n"
    "  --turnaround MS    pause before each reply (default 0)\n"
    "Faults:\n"
    "  --fault KIND       apply to every reply: none silent nak status2 split\n"
    "                     garbage short long nonhex\n"
    "  --fault-rate P     apply a random fault to a share P (0..1) of replies\n"
    "  --seed N           seed for --fault-rate (default 1)\n"
    "  --split-pause MS   pause between the pieces of a split reply (default 30)\n"
    "Other:\n"
    "  --requests N       exit after N requests (default: run until stopped)\n"
    "  --trace            print every frame received and sent\n"
    "  --help, --version\n";

struct Options {
  std::string line;
  std::set<int> stations;
  std::vector<std::string> presets;
  int baud = 0;
  int bitsPerByte = 10;
  int turnaroundMs = 0;
  qvsim::Fault fault = qvsim::Fault::None;
  double faultRate = 0;
  unsigned seed = 1;
  int splitPauseMs = 30;
  long requests = -1;
  bool trace = false;
};

int Fail(const std::string& message) {
  fprintf(stderr, "qvsim: %s\n", message.c_str());
  return 2;
}

bool ParseNumber(const char* text, long low, long high, long* out) {
  char* end = nullptr;
  const long v = strtol(text, &end, 0);
  if (end == text || *end != '\0' || v < low || v > high) return false;
  *out = v;
  return true;
}

std::string Printable(const std::string& bytes) {
  std::string hex, text;
  for (unsigned char c : bytes) {
    hex += qvsim::HexByte(c) + " ";
    if (c == 0x05) text += "<ENQ>";
    else if (c == 0x06) text += "<ACK>";
    else if (c == 0x15) text += "<NAK>";
    else if (c == 0x0D) text += "<CR>";
    else if (c >= 0x20 && c < 0x7F) text += static_cast<char>(c);
    else text += "<" + qvsim::HexByte(c) + ">";
  }
  return hex + "| " + text;
}

bool ApplyPreset(qvsim::Controller& controller, const std::string& preset) {
  const size_t equals = preset.find('=');
  if (preset.size() < 4 || equals == std::string::npos) return false;
  long address = 0, value = 0;
  if (!ParseNumber(preset.substr(1, equals - 1).c_str(), 0, 8199, &address)) return false;
  if (preset[0] == 'D' && ParseNumber(preset.c_str() + equals + 1, 0, 0xFFFF, &value)) {
    controller.D(static_cast<int>(address)) = static_cast<uint16_t>(value);
    return true;
  }
  if (preset[0] == 'M' && address % 10 == 0 && address / 10 < qvsim::kMGroups &&
      ParseNumber(preset.c_str() + equals + 1, 0, 0xFF, &value)) {
    controller.MGroup(static_cast<int>(address / 10)) = static_cast<uint8_t>(value);
    return true;
  }
  return false;
}

// How long `bytes` bytes take on the wire at the paced baud rate.
int64_t WireTimeUs(size_t bytes, const Options& options) {
  return static_cast<int64_t>(bytes) * 1000000LL * options.bitsPerByte / options.baud;
}

// Writes `bytes` no faster than the line would carry them.
bool Send(qvsim::SimLine& line, const std::string& bytes, const Options& options) {
  if (options.baud <= 0) return line.Write(bytes);
  const int64_t start = qvsim::NowUs();
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (!line.Write(bytes.substr(i, 1))) return false;
    qvsim::SleepUs(start + WireTimeUs(i + 1, options) - qvsim::NowUs());
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        Fail(std::string("option ") + name + " needs a value");
        exit(2);
      }
      return argv[++i];
    };
    long n = 0;
    if (arg == "--help" || arg == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      puts("qvsim 6.0.1");
      return 0;
    } else if (arg == "--port") {
      options.line = value("--port");
    } else if (arg == "--pty") {
      options.line = std::string("pty:") + value("--pty");
    } else if (arg == "--fd") {
      options.line = std::string("fd:") + value("--fd");
    } else if (arg == "--station") {
      if (!ParseNumber(value("--station"), 0, 255, &n)) return Fail("--station takes a number 0..255");
      options.stations.insert(static_cast<int>(n));
    } else if (arg == "--set") {
      options.presets.push_back(value("--set"));
    } else if (arg == "--baud") {
      if (!ParseNumber(value("--baud"), 0, 1000000, &n)) return Fail("--baud takes a rate such as 9600");
      options.baud = static_cast<int>(n);
    } else if (arg == "--bits-per-byte") {
      if (!ParseNumber(value("--bits-per-byte"), 7, 12, &n)) return Fail("--bits-per-byte takes 7..12");
      options.bitsPerByte = static_cast<int>(n);
    } else if (arg == "--turnaround") {
      if (!ParseNumber(value("--turnaround"), 0, 60000, &n)) return Fail("--turnaround takes milliseconds");
      options.turnaroundMs = static_cast<int>(n);
    } else if (arg == "--fault") {
      const char* kind = value("--fault");
      if (!qvsim::ParseFault(kind, &options.fault)) return Fail(std::string("unknown fault '") + kind + "'");
    } else if (arg == "--fault-rate") {
      const char* text = value("--fault-rate");
      char* end = nullptr;
      options.faultRate = strtod(text, &end);
      if (end == text || *end != '\0' || options.faultRate < 0 || options.faultRate > 1) {
        return Fail("--fault-rate takes a share from 0 to 1");
      }
    } else if (arg == "--seed") {
      if (!ParseNumber(value("--seed"), 0, 0x7FFFFFFF, &n)) return Fail("--seed takes a number");
      options.seed = static_cast<unsigned>(n);
    } else if (arg == "--split-pause") {
      if (!ParseNumber(value("--split-pause"), 0, 10000, &n)) return Fail("--split-pause takes milliseconds");
      options.splitPauseMs = static_cast<int>(n);
    } else if (arg == "--requests") {
      if (!ParseNumber(value("--requests"), 1, 0x7FFFFFFF, &n)) return Fail("--requests takes a count");
      options.requests = n;
    } else if (arg == "--trace") {
      options.trace = true;
    } else {
      return Fail("unknown argument '" + arg + "' (see --help)");
    }
  }
  if (options.line.empty()) return Fail("say where to serve: --port, --pty or --fd (see --help)");
  if (options.stations.empty()) options.stations.insert(1);

  qvsim::Controller controller(options.stations);
  for (const auto& preset : options.presets) {
    if (!ApplyPreset(controller, preset)) return Fail("bad --set '" + preset + "' (D0..D8199=0..65535, M0..M8150=0..255)");
  }

  signal(SIGINT, RequestStop);
  signal(SIGTERM, RequestStop);
  qvsim::SimLine line;
  std::string error;
  if (!line.Open(options.line, options.baud, &error)) return Fail(error);
  std::string stations;
  for (int s : options.stations) stations += (stations.empty() ? "" : ",") + std::to_string(s);
  printf("qvsim: serving station %s on %s\n", stations.c_str(), line.ClientPath().c_str());
  fflush(stdout);

  std::mt19937 random(options.seed);
  std::string pending;
  int64_t frameStartUs = 0;
  long handled = 0;
  uint8_t buffer[512];
  while (!stopRequested && (options.requests < 0 || handled < options.requests)) {
    const int n = line.Read(buffer, sizeof buffer, 5);
    if (n <= 0) continue;
    if (pending.empty()) frameStartUs = qvsim::NowUs();
    pending.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
    for (;;) {
      const size_t enq = pending.find('\x05');
      if (enq == std::string::npos) {
        pending.clear();
        break;
      }
      const size_t cr = pending.find('\r', enq);
      if (cr == std::string::npos) {
        pending.erase(0, enq);
        break;
      }
      const std::string frame = pending.substr(enq, cr - enq + 1);
      pending.erase(0, cr + 1);
      ++handled;
      // A pseudo-terminal delivers the request at once; a real line takes
      // its wire time, which the controller cannot answer before.
      if (options.baud > 0) {
        qvsim::SleepUs(frameStartUs + WireTimeUs(frame.size(), options) - qvsim::NowUs());
        frameStartUs = qvsim::NowUs();
      }

      qvsim::Fault fault = options.fault;
      if (options.faultRate > 0 && std::uniform_real_distribution<double>(0, 1)(random) < options.faultRate) {
        fault = qvsim::kAllFaults[random() % (sizeof qvsim::kAllFaults / sizeof qvsim::kAllFaults[0])];
      }
      const qvsim::Answer answer = controller.Handle(frame, fault);
      if (options.trace) printf("<- %s\n   %s\n", Printable(frame).c_str(), answer.summary.c_str());
      if (!answer.pieces.empty() && options.turnaroundMs > 0) qvsim::SleepMs(options.turnaroundMs);
      for (size_t i = 0; i < answer.pieces.size(); ++i) {
        if (i > 0) qvsim::SleepMs(options.splitPauseMs);
        if (!Send(line, answer.pieces[i], options)) fprintf(stderr, "qvsim: write to the line failed\n");
        if (options.trace) printf("-> %s\n", Printable(answer.pieces[i]).c_str());
      }
      if (options.trace) fflush(stdout);
      if (options.requests >= 0 && handled >= options.requests) break;
    }
  }
  line.Close();
  return 0;
}
