#include "tools/qvsim/options.h"

#include "tools/common/command_line.h"
#include "tools/common/number_text.h"

namespace qvsim {
namespace {

using qvtools::DecimalIn;
using qvtools::NumberIn;
using qvtools::NumberValue;

CLI::Validator FaultKind() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        FaultSpec fault;
        std::string problem;
        return ParseFault(text, &fault, &problem) ? std::string() : problem;
      },
      "");
}

CLI::Validator Counting() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        int first = 0, last = 0;
        std::string problem;
        return ParseCounting(text, &first, &last, &problem) ? std::string() : problem;
      },
      "");
}

CLI::Validator Preset() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        qvtools::MemoryPreset preset;
        std::string problem;
        return qvtools::ParsePreset(text, &preset, &problem) ? std::string() : problem;
      },
      "");
}

}  // namespace

int ParseOptions(int argc, char** argv, Options* o) {
  CLI::App app{"Answers read and write requests as a controller on a serial line.", "qvsim"};
  app.set_version_flag("--version", "qvsim " QUORVALEND_VERSION_TEXT);
  app.footer("Faults (--fault KIND):\n" + FaultHelp() +
             "Numbers are decimal, or hex with 0x; a leading zero is still decimal.");
  std::string lineBaud;
  std::string port, pty, fd, baud, bitsPerByte, turnaround, faultRate, seed, splitPause, requests, fault;
  std::string faultEvery, faultStation, tickMs;
  std::vector<std::string> stations, presets, faultAt, switchable, counting;

  auto* where = app.add_option_group("Where to serve", "one of");
  where->add_option("--port", port, "a serial device (/dev/ttyS0, COM3)");
  where->add_option("--pty", pty, "make a pseudo-terminal and link LINK to it (POSIX); an existing path must be "
                                  "such a link")->type_name("LINK");
  where->add_option("--fd", fd, "an inherited descriptor, e.g. a pty master (POSIX)")->check(DecimalIn(0, 65535));

  auto* controller = app.add_option_group("Controller");
  controller->add_option("--station", stations, "serve station N (0..255); repeat for several; default 1")
      ->check(DecimalIn(0, 255))->allow_extra_args(false)->type_name("N");
  controller->add_option("--set", presets, "preset memory, e.g. --set D100=1234 --set M10=0x3C")
      ->check(Preset())->allow_extra_args(false)->type_name("AREA=VALUE");
  controller->add_option("--counting", counting, "D registers that count up by one at every read of them, e.g. "
                                                  "--counting D100..D339 (after --set); repeatable")
      ->check(Counting())->allow_extra_args(false)->type_name("RANGE");
  controller->add_option("--tick-ms", tickMs, "the --counting registers count up every MS instead, on a clock "
                                              "that starts with qvsim (printed in Unix time), not at reads")
      ->check(NumberIn(1, 3600000))->type_name("MS");

  auto* timing = app.add_option_group("Timing");
  timing->add_option("--baud", baud, "take a request's wire time at N baud before answering, and pace replies to "
                                     "it (default: no pacing)")->check(NumberIn(0, 1000000))->type_name("N");
  timing->add_option("--line-baud", lineBaud, "answer only while the line is set to N baud, as a controller "
                                             "hears nothing at another speed (a pty keeps the speed its client "
                                             "sets; default: any)")->check(NumberIn(1, 1000000))->type_name("N");
  timing->add_option("--bits-per-byte", bitsPerByte, "bits a byte takes on the wire (default 10, 8N1)")
      ->check(NumberIn(7, 12))->type_name("N");
  timing->add_option("--turnaround", turnaround, "pause before each reply (default 0)")
      ->check(NumberIn(0, 60000))->type_name("MS");

  auto* faults = app.add_option_group("Faults");
  faults->add_option("--fault", fault, "the fault (see below): alone, on every request; with --fault-at, "
                                      "--fault-every or --fault-rate, on the requests they choose")
      ->check(FaultKind())->type_name("KIND");
  faults->add_option("--fault-at", faultAt, "fault requests N,N,... (counted from 1 as they arrive)")
      ->check(NumberIn(1, 0x7FFFFFFF))->delimiter(',')->allow_extra_args(false)->type_name("N,...");
  faults->add_option("--fault-every", faultEvery, "fault every Nth request")->check(NumberIn(1, 0x7FFFFFFF))
      ->type_name("N");
  faults->add_option("--fault-rate", faultRate, "fault a random share P (0..1) of requests; without --fault "
                                                "a random one of the reply faults (silent .. trailing)")
      ->check(CLI::Range(0.0, 1.0))->type_name("P");
  faults->add_option("--fault-station", faultStation, "fault only requests for station N")
      ->check(DecimalIn(0, 255))->type_name("N");
  faults->add_option("--silence-station", switchable,
                     "the station SIGUSR1 silences and SIGUSR2 lets answer again, as a controller switched off "
                     "and on (POSIX); repeat for several; default: every station served")
      ->check(DecimalIn(0, 255))->allow_extra_args(false)->type_name("N");
  faults->add_option("--seed", seed, "seed for --fault-rate (default 1)")->check(NumberIn(0, 0x7FFFFFFF))
      ->type_name("N");
  faults->add_option("--split-pause", splitPause, "pause between the pieces of a split reply (default 30)")
      ->check(NumberIn(0, 10000))->type_name("MS");

  auto* other = app.add_option_group("Other");
  other->add_option("--requests", requests, "exit after N requests (default: run until stopped)")
      ->check(NumberIn(1, 0x7FFFFFFF))->type_name("N");
  other->add_flag("--trace", o->trace, "print every frame received and sent");

  const int status = qvtools::ParseCommandLine(app, argc, argv);
  if (status >= 0) return status;

  const int lines = !port.empty() + !pty.empty() + !fd.empty();
  if (lines == 0) return qvtools::UsageError("qvsim", "say where to serve: --port, --pty or --fd");
  if (lines > 1) return qvtools::UsageError("qvsim", "serve one line: give only one of --port, --pty and --fd");
  o->line = !port.empty() ? port : !pty.empty() ? "pty:" + pty : "fd:" + fd;
  for (const auto& s : stations) o->stations.insert(static_cast<int>(NumberValue(s)));
  if (o->stations.empty()) o->stations.insert(1);
  for (const auto& text : presets) {
    qvtools::MemoryPreset preset;
    std::string problem;
    qvtools::ParsePreset(text, &preset, &problem);
    o->presets.push_back(preset);
  }
  for (const auto& s : switchable) o->switchable.insert(static_cast<int>(NumberValue(s)));
  for (const auto& text : counting) {
    int first = 0, last = 0;
    std::string problem;
    ParseCounting(text, &first, &last, &problem);
    o->counting.push_back({first, last});
  }
  if (!tickMs.empty()) {
    if (counting.empty()) return qvtools::UsageError("qvsim", "--tick-ms needs --counting: say which registers count");
    o->tickMs = static_cast<int>(NumberValue(tickMs));
  }
  if (!baud.empty()) o->baud = static_cast<int>(NumberValue(baud));
  if (!lineBaud.empty()) o->lineBaud = static_cast<int>(NumberValue(lineBaud));
  if (!bitsPerByte.empty()) o->bitsPerByte = static_cast<int>(NumberValue(bitsPerByte));
  if (!turnaround.empty()) o->turnaroundMs = static_cast<int>(NumberValue(turnaround));
  FaultSelection& f = o->faults;
  std::string problem;
  f.given = !fault.empty() && ParseFault(fault, &f.fault, &problem);
  for (const auto& n : faultAt) f.at.insert(static_cast<long>(NumberValue(n)));
  if (!faultEvery.empty()) f.every = static_cast<long>(NumberValue(faultEvery));
  if (!faultRate.empty()) f.rate = std::stod(faultRate);
  if (!faultStation.empty()) f.station = static_cast<int>(NumberValue(faultStation));
  if (!seed.empty()) f.seed = static_cast<unsigned>(NumberValue(seed));
  if ((!f.at.empty() || f.every > 0) && !f.given) {
    return qvtools::UsageError("qvsim", "--fault-at and --fault-every need --fault: say which fault");
  }
  if (f.given && f.fault.kind == Fault::Drop && !fd.empty()) {
    return qvtools::UsageError("qvsim", "drop needs a line qvsim can take away and bring back: --pty or --port");
  }
  if (!splitPause.empty()) o->splitPauseMs = static_cast<int>(NumberValue(splitPause));
  if (!requests.empty()) o->requests = static_cast<long>(NumberValue(requests));
  return -1;
}

}  // namespace qvsim
