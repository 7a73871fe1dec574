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
constexpr int kScanTimeoutMs = 100;

const char* const kParities[] = {"none", "odd", "even", "mark", "space"};

bool OneStation(const std::string& text, int* station) {
  int64_t v = 0;
  if (!qvtools::ParseDecimal(text, 0, kBroadcastStation, &v) || (v > kHighestStation && v != kBroadcastStation)) {
    return false;
  }
  *station = static_cast<int>(v);
  return true;
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) return parts;
    start = comma + 1;
  }
}

template <typename Parse>
CLI::Validator Checked(Parse parse) {
  return CLI::Validator(
      [parse](std::string& text) -> std::string {
        std::string problem;
        return parse(text, &problem) ? std::string() : problem;
      },
      "");
}

bool ParseBauds(const std::string& text, std::vector<int>* bauds, std::string* problem) {
  for (const std::string& part : Split(text)) {
    int64_t v = 0;
    if (!qvtools::ParseNumber(part, 300, 57600, &v)) {
      *problem = "baud " + qvtools::NumberProblem(part, 300, 57600);
      return false;
    }
    bauds->push_back(static_cast<int>(v));
  }
  return true;
}

bool ParseParities(const std::string& text, std::vector<int>* parities, std::string* problem) {
  for (const std::string& part : Split(text)) {
    int found = -1;
    for (int p = 0; p < 5; ++p) {
      if (part == kParities[p]) found = p;
    }
    if (found < 0) {
      *problem = "'" + part + "' is not a parity: none, odd, even, mark or space";
      return false;
    }
    parities->push_back(found);
  }
  return true;
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
    "M0010 = M10; d100 = D100); a range reads several: D100..D131, D100:32 (a count), M0..M30 (in tens). "
    "VALUE is what --type shows: 0..65535 for D and 0..255 for M with u16.";

const char kFooter[] =
    "Numbers are decimal, or hex with 0x; a leading zero is still decimal (0100 is one hundred).\n"
    "Writes go out once, in the order typed, before the first scan; the first failed write stops the run\n"
    "and nothing after it is sent (--keep-going sends the rest). A 32-bit value (u32, s32, f32) is written\n"
    "as two transactions, one register each, lower address first: not atomic, the controller may act on\n"
    "the first register alone.\n"
    "--scan tries stations 0..31 and 255 (or --station's) at every --bauds and --parities setting with a short\n"
    "time-out (--timeout, default 100 ms there) and prints the qvpoll command for each station that answers;\n"
    "it exits 0 when one answered, 1 when none did.\n"
    "Ctrl-C stops after the current transaction and prints the summary; a second Ctrl-C quits at once.\n"
    "With several stations the driver checks that each reply names the station asked (--no-check-station\n"
    "turns that off for controllers that do not repeat it): a late reply of one station is never shown as\n"
    "another's value.\n"
    "Exit status: 0 all transactions good, 1 some failed, 2 bad usage or configuration (the line untouched),\n"
    "3 the rows could not be written (a full disk, a closed output), 130 stopped by Ctrl-C.";

// A value that names a tag or a write (D100, m10..m30, D100=5): what a
// shell leaves when a variable meant for an option was empty.
bool LooksLikeTag(const std::string& text) {
  if (text.size() < 2 || (text[0] != 'D' && text[0] != 'd' && text[0] != 'M' && text[0] != 'm')) return false;
  const size_t digits = text.find_first_not_of("0123456789", 1);
  if (digits == 1) return false;
  return digits == std::string::npos || text[digits] == '=' || text[digits] == ':' || text[digits] == '.';
}

// Before CLI11 sees the line: it would take the argument after an empty
// `--output=` as the value, and a tag or a write would silently become a
// file name. Empty when every option's value is a value.
std::string ValueProblem(const CLI::App& app, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    if (arg.size() < 2 || arg[0] != '-') continue;
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const CLI::Option* option = app.get_option_no_throw(name);
    if (option == nullptr || option->get_items_expected_min() == 0) continue;  // a flag
    std::string value;
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      continue;  // CLI11 says that the value is missing
    }
    if (value.empty()) return name + " has an empty value: give it one (an unset shell variable?)";
    if (LooksLikeTag(value) && name != "--sim-set") {
      return name + " " + value + ": that is a tag or a write, not a value for " + name +
             " (an option is never given a tag; is a value missing before it?)";
    }
  }
  return "";
}

}  // namespace

int ParseOptions(int argc, char** argv, Options* o) {
  CLI::App app{"Reads (and writes) controller registers through the Quorvalend driver.", "qvpoll"};
  app.footer(kFooter);
  std::string baud, dataBits, stopBits, timeout, station, count, interval, bauds, parities;
  std::string parity = "none", format = "table", type = "u16", wordOrder = "high-first";
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
  line->add_option("--station", station, "controller stations 0..31 or 255, a list: 1,2,5-8 (default 1); one "
                                         "driver object each, sharing the port")
      ->check(Checked([](const std::string& text, std::string* problem) {
        std::vector<int> stations;
        return ParseStationList(text, &stations, problem);
      }))->type_name("LIST");

  bool check = false, noCheck = false;
  auto* checkFlag = line->add_flag("--check-station", check, "a reply must carry the station asked (the driver's "
                                                             "CheckStation); on by default with several stations");
  line->add_flag("--no-check-station", noCheck, "accept replies whatever station they name, for controllers that "
                                                "do not repeat it")->excludes(checkFlag);
  std::string rs485Before, rs485After;
  line->add_option("--rs485", o->rs485, "the driver switches an RS-485 adapter's transmitter with RTS, up or down "
                                        "while sending (the driver's RS485; default: the machine's, off unless set); "
                                        "only for adapters that do not switch by themselves")
      ->check(CLI::IsMember({"off", "rts-on-send", "rts-after-send"}))->type_name("MODE");
  line->add_option("--rs485-delay-before-us", rs485Before, "with --rs485 on: RTS this long before sending, "
                                                           "0..100000 us (default 0; Linux counts whole ms)")
      ->check(NumberIn(0, 100000))->type_name("US");
  line->add_option("--rs485-delay-after-us", rs485After, "with --rs485 on: RTS this long after sending, 0..100000 us "
                                                         "(default 0)")
      ->check(NumberIn(0, 100000))->type_name("US");

  auto* polling = app.add_option_group("Polling");
  polling->add_option("--count", count, "scans to run; 0 = until Ctrl-C (default 1)")
      ->check(NumberIn(0, 0x7FFFFFFF))->type_name("N");
  polling->add_option("--interval", interval, "pause between scans (default 1000)")
      ->check(NumberIn(0, 3600000))->type_name("MS");
  polling->add_flag("--keep-going", o->keepGoing, "after a failed write, send the writes after it and scan");
  polling->add_flag("--changes", o->changes, "after the first scan, a row only when a value changes, a "
                                              "transaction fails, or it recovers");
  polling->add_option("--type", type, std::string(qvhost::ValueTypeNames()) + " (default u16): how values are shown and "
                                      "typed; u32, s32, f32 take two D registers")
      ->check(CLI::IsMember({"u16", "s16", "hex", "bcd", "bits", "u32", "s32", "f32"}))->type_name("T");
  polling->add_option("--word-order", wordOrder, "high-first|low-first: which of the two registers of a 32-bit "
                                                 "value holds its high word (default high-first)")
      ->check(CLI::IsMember({"high-first", "low-first"}))->type_name("O");

  auto* finding = app.add_option_group("Finding a controller");
  auto* scan = finding->add_flag("--scan", o->scan, "try every station at every line setting below; print the "
                                                    "stations that answer");
  finding->add_option("--bauds", bauds, "comma list for --scan (default: --baud)")
      ->check(Checked([](const std::string& text, std::string* problem) {
        std::vector<int> v;
        return ParseBauds(text, &v, problem);
      }))->needs(scan)->type_name("LIST");
  finding->add_option("--parities", parities, "comma list for --scan (default: --parity)")
      ->check(Checked([](const std::string& text, std::string* problem) {
        std::vector<int> v;
        return ParseParities(text, &v, problem);
      }))->needs(scan)->type_name("LIST");

  auto* output = app.add_option_group("Output");
  output->add_option("--format", format, "table|csv|json (default table)")
      ->check(CLI::IsMember({"table", "csv", "json"}))->type_name("F");
  auto* file = output->add_option("--output", o->output, "write the rows to FILE instead of standard output")
                   ->type_name("FILE");
  output->add_flag("--append", o->append, "add to FILE; the header goes only into an empty file")->needs(file);
  output->add_flag("--utc", o->utc, "timestamps in UTC (+00:00) instead of local time with its offset");
  output->add_flag("-q,--quiet", o->quiet, "rows only: no header, no summary");
  output->add_flag("-v,--trace", o->trace, "the driver's trace on standard error for this run: every request "
                                           "and reply frame with its time");

  auto* other = app.add_option_group("Other");
  auto* sim = other->add_flag("--sim", o->sim, "poll a built-in simulator (qvsim beside qvpoll) on a fresh "
                                               "pseudo-terminal; Linux only");
  other->add_option("--sim-station", simStations, "station the simulator serves (default: --station); repeat "
                                                  "for several")
      ->check(DecimalIn(0, 255))->allow_extra_args(false)->needs(sim)->type_name("N");
  other->add_option("--sim-set", o->simSets, "preset simulator memory, e.g. --sim-set D100=1234")
      ->check(Preset())->allow_extra_args(false)->needs(sim)->type_name("AREA=VALUE");
  other->add_option("--module", o->module, "load the driver from PATH instead of the default")->type_name("PATH");
  other->add_flag("--version", o->version, "qvpoll's version, and the driver it loads: path and file version");
  port->excludes(sim);

  const std::string valueProblem = ValueProblem(app, argc, argv);
  if (!valueProblem.empty()) return qvtools::UsageError("qvpoll", valueProblem);
  const int status = qvtools::ParseCommandLine(app, argc, argv);
  if (status >= 0) return status;

  if (o->version) return -1;
  if (o->scan && !o->tags.empty()) {
    return qvtools::UsageError("qvpoll", "--scan probes with a read of D0; name no tags (" + o->tags.front() + ")");
  }
  if (o->tags.empty() && !o->scan) {
#ifdef _WIN32
    return qvtools::UsageError("qvpoll", "name at least one tag, e.g. qvpoll --port COM1 D100 M10");
#else
    return qvtools::UsageError("qvpoll", "name at least one tag, e.g. qvpoll --port ttyUSB0 D100 M10");
#endif
  }
  if (o->port.empty() && !o->sim) return qvtools::UsageError("qvpoll", "say which line to use: --port NAME, or --sim");
  if (!rs485Before.empty()) o->rs485DelayBeforeUs = static_cast<long>(NumberValue(rs485Before));
  if (!rs485After.empty()) o->rs485DelayAfterUs = static_cast<long>(NumberValue(rs485After));
  const bool rs485On = !o->rs485.empty() && o->rs485 != "off";
  if (!rs485On && (o->rs485DelayBeforeUs != 0 || o->rs485DelayAfterUs != 0)) {
    const char* delay = o->rs485DelayBeforeUs != 0 ? "--rs485-delay-before-us" : "--rs485-delay-after-us";
    return qvtools::UsageError("qvpoll", std::string(delay) + " needs --rs485 rts-on-send or rts-after-send: "
                                         "without them the driver does not switch the transmitter, so there is "
                                         "nothing to delay");
  }
  if (rs485On && o->sim) {
    return qvtools::UsageError("qvpoll", "--rs485 " + o->rs485 + " with --sim: the simulator's pseudo-terminal has "
                                         "no transmitter to switch and would refuse it; leave --rs485 out");
  }
  if (!baud.empty()) o->baud = static_cast<int>(NumberValue(baud));
  if (!dataBits.empty()) o->dataBits = static_cast<int>(NumberValue(dataBits));
  if (!stopBits.empty()) o->stopBits = static_cast<int>(NumberValue(stopBits));
  if (!timeout.empty()) o->timeoutMs = static_cast<int>(NumberValue(timeout));
  if (timeout.empty() && o->scan) o->timeoutMs = kScanTimeoutMs;
  std::string problem;
  if (!station.empty()) {
    o->stations.clear();
    ParseStationList(station, &o->stations, &problem);
    o->stationsGiven = true;
  }
  if (check) o->checkStation = 1;
  if (noCheck) o->checkStation = 0;
  if (!check && !noCheck && o->stations.size() > 1) o->checkStation = 1;
  ParseBauds(bauds.empty() ? std::to_string(o->baud) : bauds, &o->bauds, &problem);
  if (!count.empty()) o->count = static_cast<long>(NumberValue(count));
  if (!interval.empty()) o->intervalMs = static_cast<long>(NumberValue(interval));
  for (int p = 0; p < 5; ++p) {
    if (parity == kParities[p]) o->parity = p;
  }
  ParseParities(parities.empty() ? parity : parities, &o->parities, &problem);
  qvhost::ParseValueType(type, &o->type);
  o->wordOrder = wordOrder == "low-first" ? qvhost::WordOrder::LowFirst : qvhost::WordOrder::HighFirst;
  o->format = format == "csv" ? Format::Csv : format == "json" ? Format::Json : Format::Table;
  for (const auto& s : simStations) o->simStations.push_back(static_cast<int>(NumberValue(s)));
  return -1;
}

const char* ParityName(int parity) { return parity >= 0 && parity < 5 ? kParities[parity] : "?"; }

bool ParseStationList(const std::string& text, std::vector<int>* stations, std::string* problem) {
  const std::string shape = " is not a station: stations are 0..31 and 255, in decimal, as a list such as 1,2,5-8";
  for (const std::string& part : Split(text)) {
    const size_t dash = part.find('-');
    int first = 0, last = 0;
    if (!OneStation(part.substr(0, dash), &first) ||
        (dash != std::string::npos && !OneStation(part.substr(dash + 1), &last))) {
      *problem = "'" + part + "'" + shape;
      return false;
    }
    if (dash == std::string::npos) last = first;
    if (last < first || (last > kHighestStation && first != last)) {
      *problem = "'" + part + "' is not a range of stations: from low to high, within 0..31";
      return false;
    }
    for (int s = first; s <= last; ++s) {
      for (int known : *stations) {
        if (known == s) {
          *problem = "station " + std::to_string(s) + " is listed twice in '" + text + "'";
          return false;
        }
      }
      stations->push_back(s);
    }
  }
  return true;
}

}  // namespace qvpoll
