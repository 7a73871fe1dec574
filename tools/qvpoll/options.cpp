#include "tools/qvpoll/options.h"

#include "tools/common/command_line.h"
#include "tools/common/memory_preset.h"
#include "tools/common/number_text.h"

namespace qvpoll {
namespace {

using qvtools::DecimalIn;
using qvtools::NumberIn;
using qvtools::NumberValue;

constexpr int kHighestStation = 31, kBroadcastStation = 255;

// The driver reads a station text leniently, for hosts; a person gets
// exactly what is typed, or a refusal.
CLI::Validator Station() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        int64_t v = 0;
        if (qvtools::ParseDecimal(text, 0, kBroadcastStation, &v) && (v <= kHighestStation || v == kBroadcastStation)) {
          return "";
        }
        return "'" + text + "' is not a station: stations are 0..31 and 255, in decimal";
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

const char kTagHelp[] =
    "TAG reads, TAG=VALUE writes. TAG is D0..D8199, or M0..M8150 in tens (M10 is the group of bits M10..M17; "
    "M0010 = M10). VALUE is 0..65535 for D, 0..255 for M.";

const char kFooter[] =
    "Numbers are decimal, or hex with 0x; a leading zero is still decimal (0100 is one hundred).\n"
    "Writes go out once, in the order typed, before the first scan; the first failed write stops the run\n"
    "and nothing after it is sent (--keep-going sends the rest).\n"
    "Ctrl-C stops after the current transaction and prints the summary; a second Ctrl-C quits at once.\n"
    "Exit status: 0 all transactions good, 1 some failed, 2 bad usage or configuration (the line untouched).";

}  // namespace

int ParseOptions(int argc, char** argv, Options* o) {
  CLI::App app{"Reads (and writes) controller registers through the Quorvalend driver.", "qvpoll"};
  app.set_version_flag("--version", "qvpoll " QUORVALEND_VERSION_TEXT);
  app.footer(kFooter);
  std::string baud, dataBits, stopBits, timeout, station, count, interval;
  std::string parity = "none", format = "table";
  std::vector<std::string> simStations;

  app.add_option("TAG", o->tags, kTagHelp)->type_name("");

  auto* line = app.add_option_group("Line");
  auto* port = line->add_option("--port", o->port, "serial port: COM3 on Windows, ttyUSB0 or /dev/ttyUSB0 on Linux")
                   ->type_name("NAME");
  line->add_option("--baud", baud, "300..57600 (default 9600)")->check(NumberIn(300, 57600))->type_name("N");
  line->add_option("--data-bits", dataBits, "5..8 (default 8)")->check(NumberIn(5, 8))->type_name("N");
  line->add_option("--parity", parity, "none|odd|even|mark|space (default none)")
      ->check(CLI::IsMember({"none", "odd", "even", "mark", "space"}))->type_name("P");
  line->add_option("--stop-bits", stopBits, "1|2 (default 1)")->check(NumberIn(1, 2))->type_name("N");
  line->add_option("--timeout", timeout, "reply time-out, 0..32767 (default 1000; 0 gives up after one poll)")
      ->check(NumberIn(0, 32767))->type_name("MS");
  line->add_option("--station", station, "controller station 0..31 or 255 (default 1)")->check(Station())
      ->type_name("N");

  auto* polling = app.add_option_group("Polling");
  polling->add_option("--count", count, "scans to run; 0 = until Ctrl-C (default 1)")
      ->check(NumberIn(0, 0x7FFFFFFF))->type_name("N");
  polling->add_option("--interval", interval, "pause between scans (default 1000)")
      ->check(NumberIn(0, 3600000))->type_name("MS");
  polling->add_flag("--keep-going", o->keepGoing, "after a failed write, send the writes after it and scan");

  auto* output = app.add_option_group("Output");
  output->add_option("--format", format, "table|csv|json (default table)")
      ->check(CLI::IsMember({"table", "csv", "json"}))->type_name("F");
  auto* file = output->add_option("--output", o->output, "write the rows to FILE instead of standard output")
                   ->type_name("FILE");
  output->add_flag("--append", o->append, "add to FILE; the header goes only into an empty file")->needs(file);
  output->add_flag("--utc", o->utc, "timestamps in UTC (+00:00) instead of local time with its offset");

  auto* other = app.add_option_group("Other");
  auto* sim = other->add_flag("--sim", o->sim, "poll a built-in simulator (qvsim beside qvpoll) on a fresh "
                                               "pseudo-terminal; Linux only");
  other->add_option("--sim-station", simStations, "station the simulator serves (default: --station); repeat "
                                                  "for several")
      ->check(DecimalIn(0, 255))->allow_extra_args(false)->needs(sim)->type_name("N");
  other->add_option("--sim-set", o->simSets, "preset simulator memory, e.g. --sim-set D100=1234")
      ->check(Preset())->allow_extra_args(false)->needs(sim)->type_name("AREA=VALUE");
  other->add_option("--module", o->module, "load the driver from PATH instead of the default")->type_name("PATH");
  port->excludes(sim);

  const int status = qvtools::ParseCommandLine(app, argc, argv);
  if (status >= 0) return status;

  if (o->tags.empty()) return qvtools::UsageError("qvpoll", "name at least one tag, e.g. qvpoll --port COM1 D100 M10");
  if (o->port.empty() && !o->sim) return qvtools::UsageError("qvpoll", "say which line to use: --port NAME, or --sim");
  if (!baud.empty()) o->baud = static_cast<int>(NumberValue(baud));
  if (!dataBits.empty()) o->dataBits = static_cast<int>(NumberValue(dataBits));
  if (!stopBits.empty()) o->stopBits = static_cast<int>(NumberValue(stopBits));
  if (!timeout.empty()) o->timeoutMs = static_cast<int>(NumberValue(timeout));
  if (!station.empty()) o->stations = {static_cast<int>(NumberValue(station))};
  if (!count.empty()) o->count = static_cast<long>(NumberValue(count));
  if (!interval.empty()) o->intervalMs = static_cast<long>(NumberValue(interval));
  const char* const parities[] = {"none", "odd", "even", "mark", "space"};
  for (int p = 0; p < 5; ++p) {
    if (parity == parities[p]) o->parity = p;
  }
  o->format = format == "csv" ? Format::Csv : format == "json" ? Format::Json : Format::Table;
  for (const auto& s : simStations) o->simStations.push_back(static_cast<int>(NumberValue(s)));
  return -1;
}

}  // namespace qvpoll
