// qvpoll: polls controller registers through the Quorvalend driver exactly
// as a data server does. The commissioning engineer's first tool.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tools/qvpoll/driver_session.h"
#include "tools/qvpoll/host_blocks.h"
#include "tools/qvpoll/report.h"
#include "tools/qvpoll/sim_launcher.h"

namespace {

volatile sig_atomic_t interrupted = 0;
void Interrupt(int) { interrupted = 1; }

const char kUsage[] =
    "usage: qvpoll [options] TAG... [TAG=VALUE...]\n"
    "Reads (and writes) controller registers through the Quorvalend driver.\n"
    "  TAG            D0..D8199, or M0..M8150 in tens (M0010 = M10)\n"
    "  TAG=VALUE      write VALUE (decimal or 0x-hex) before the reads\n"
    "Line:\n"
    "  --port NAME    serial port: COM3 on Windows, ttyUSB0 or /dev/ttyUSB0 on Linux\n"
    "  --baud N       300..57600 (default 9600)\n"
    "  --data-bits N  5..8 (default 8)\n"
    "  --parity P     none|odd|even|mark|space (default none)\n"
    "  --stop-bits N  1|2 (default 1)\n"
    "  --timeout MS   reply time-out (default 1000)\n"
    "  --station N    controller station 0..31 or 255 (default 1)\n"
    "Polling:\n"
    "  --count N      scans to run; 0 = until interrupted (default 1)\n"
    "  --interval MS  pause between scans (default 1000)\n"
    "  --format F     table|csv|json (default table)\n"
    "Other:\n"
    "  --sim          poll a built-in simulator on a fresh pseudo-terminal (Linux)\n"
    "  --sim-station N  station the simulator serves (default: --station)\n"
    "  --sim-set R=V  preset simulator memory, e.g. --sim-set D100=1234\n"
    "  --module PATH  load the driver from PATH instead of the default\n"
    "  --help, --version\n"
    "Exit status: 0 all transactions good, 1 some failed, 2 bad usage or configuration.\n";

int Usage(const std::string& message) {
  fprintf(stderr, "qvpoll: %s\n(qvpoll --help lists the options)\n", message.c_str());
  return 2;
}

bool Number(const char* text, long low, long high, long* out) {
  char* end = nullptr;
  const long v = strtol(text, &end, 0);
  if (end == text || *end != '\0' || v < low || v > high) return false;
  *out = v;
  return true;
}

struct Options {
  std::string port;
  long baud = 9600, dataBits = 8, stopBits = 1, timeout = 1000, count = 1, interval = 1000;
  int parity = 0;
  std::string station = "1";
  std::string simStation;
  std::vector<std::string> simSets;
  qvpoll::Format format = qvpoll::Format::Table;
  bool sim = false;
  std::string module;
  std::vector<std::string> tags;
};

std::string DriverMessage(IDeviceDriver* driver) { return qvpoll::GbkToUtf8(driver->lpVtbl->GetErrorText(driver)); }

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (arg == "--help" || arg == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      puts("qvpoll 6.0.1");
      return 0;
    } else if (arg == "--sim") {
      o.sim = true;
    } else if (arg.rfind("--", 0) == 0 && (v = value()) == nullptr) {
      return Usage("option " + arg + " needs a value");
    } else if (arg == "--port") {
      o.port = v;
    } else if (arg == "--baud") {
      if (!Number(v, 300, 57600, &o.baud)) return Usage("--baud " + std::string(v) + ": the driver takes 300..57600");
    } else if (arg == "--data-bits") {
      if (!Number(v, 5, 8, &o.dataBits)) return Usage("--data-bits " + std::string(v) + ": use 5..8");
    } else if (arg == "--stop-bits") {
      if (!Number(v, 1, 2, &o.stopBits)) return Usage("--stop-bits " + std::string(v) + ": use 1 or 2");
    } else if (arg == "--parity") {
      const char* names[] = {"none", "odd", "even", "mark", "space"};
      o.parity = -1;
      for (int p = 0; p < 5; ++p) {
        if (strcmp(v, names[p]) == 0) o.parity = p;
      }
      if (o.parity < 0) return Usage("--parity " + std::string(v) + ": use none, odd, even, mark or space");
    } else if (arg == "--timeout") {
      if (!Number(v, 0, 32767, &o.timeout)) return Usage("--timeout " + std::string(v) + ": use 0..32767 ms");
    } else if (arg == "--station") {
      o.station = v;
    } else if (arg == "--sim-station") {
      o.simStation = v;
    } else if (arg == "--sim-set") {
      o.simSets.push_back(v);
    } else if (arg == "--count") {
      if (!Number(v, 0, 0x7FFFFFFF, &o.count)) return Usage("--count " + std::string(v) + ": use a number, 0 = forever");
    } else if (arg == "--interval") {
      if (!Number(v, 0, 3600000, &o.interval)) return Usage("--interval " + std::string(v) + ": use milliseconds");
    } else if (arg == "--format") {
      if (strcmp(v, "table") == 0) o.format = qvpoll::Format::Table;
      else if (strcmp(v, "csv") == 0) o.format = qvpoll::Format::Csv;
      else if (strcmp(v, "json") == 0) o.format = qvpoll::Format::Json;
      else return Usage("--format " + std::string(v) + ": use table, csv or json");
    } else if (arg == "--module") {
      o.module = v;
    } else if (arg.rfind("-", 0) == 0) {
      return Usage("unknown option " + arg);
    } else {
      o.tags.push_back(arg);
    }
  }
  if (o.tags.empty()) return Usage("name at least one tag, e.g. qvpoll --port COM1 D100 M0010");
  if (o.port.empty() && !o.sim) return Usage("say which line to use: --port NAME, or --sim");

  qvpoll::DriverSession session;
  std::string error;
  if (!session.Open(o.module, &error)) {
    fprintf(stderr, "qvpoll: %s\n", error.c_str());
    return 2;
  }
  IDeviceDriver* driver = session.driver;
  IDeviceIo* io = session.io;

  int32_t station = 0;
  if (!driver->lpVtbl->CheckDeviceAddress(driver, o.station.c_str(), &station)) {
    return Usage("--station " + o.station + ": " + DriverMessage(driver) + " (stations are 0..31 and 255)");
  }

  std::vector<qvpoll::Tag> tags;
  for (const std::string& text : o.tags) {
    qvpoll::Tag tag;
    const size_t equals = text.find('=');
    tag.text = text.substr(0, equals);
    TagDefinition definition{};
    if (tag.text.size() >= sizeof definition.addressText) return Usage("tag '" + tag.text + "' is too long");
    memcpy(definition.addressText, tag.text.c_str(), tag.text.size());
    // Each area's own data type: 16-bit registers for "D", bytes for "M".
    const bool m = tag.text.find_first_not_of(' ') != std::string::npos &&
                   tag.text[tag.text.find_first_not_of(' ')] == 'M';
    definition.dataType = m ? QV_DATA_TYPE_BYTE : QV_DATA_TYPE_WORD;
    if (driver->lpVtbl->ParseTag(driver, &definition, &tag.address) != QV_PARSE_OK) {
      return Usage("tag '" + tag.text + "': " + DriverMessage(driver));
    }
    tag.address.deviceAddress = static_cast<int16_t>(station);
    if (equals != std::string::npos) {
      long value = 0;
      const long highest = m ? 0xFF : 0xFFFF;
      if (!Number(text.c_str() + equals + 1, 0, highest, &value)) {
        return Usage("'" + text + "': the value must be 0.." + std::to_string(highest) + " (decimal or 0x-hex)");
      }
      tag.write = true;
      tag.writeValue = static_cast<uint32_t>(value);
    }
    tags.push_back(tag);
  }

  std::string device = o.port;
  if (o.sim) {
    std::vector<std::string> simArgs{"--station", o.simStation.empty() ? std::to_string(station) : o.simStation};
    for (const auto& set : o.simSets) {
      simArgs.push_back("--set");
      simArgs.push_back(set);
    }
    if (!qvpoll::StartSimulator(simArgs, &device, &error)) {
      fprintf(stderr, "qvpoll: %s\n", error.c_str());
      return 2;
    }
  }
  signal(SIGINT, Interrupt);
  signal(SIGTERM, Interrupt);

  PortSettings settings{};
  if (device.size() >= sizeof settings.portName) {
    qvpoll::StopSimulator();
    return Usage("--port " + device + ": the driver takes names of up to 31 characters");
  }
  memcpy(settings.portName, device.c_str(), device.size());
  settings.baudRate = static_cast<int32_t>(o.baud);
  settings.dataBits = static_cast<uint8_t>(o.dataBits);
  settings.stopBits = static_cast<int16_t>(o.stopBits == 2 ? QV_STOP_BITS_TWO : 1);
  settings.parity = static_cast<uint8_t>(o.parity);
  settings.replyTimeout = static_cast<int16_t>(o.timeout);
  if (!driver->lpVtbl->OpenPort(driver, 0, &settings)) {
    qvpoll::StopSimulator();
    return Usage("--port " + device + ": " + DriverMessage(driver));
  }

  qvpoll::Report report(o.format);
  auto writes = qvpoll::GroupTags(driver, tags, true, static_cast<int16_t>(station));
  auto reads = qvpoll::GroupTags(driver, tags, false, static_cast<int16_t>(station));
  report.Header();
  int scans = 0;
  for (long scan = 1; !interrupted && (o.count == 0 || scan <= o.count); ++scan) {
    ++scans;
    for (auto& group : {&writes, &reads}) {
      for (auto& block : *group) {
        if (interrupted) break;
        const auto start = std::chrono::steady_clock::now();
        const bool ok = io->lpVtbl->ExecuteBlock(io, &block->request) != 0;
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        const std::string message = ok ? "" : DriverMessage(driver);
        const int code = ok ? -1 : qvpoll::ErrorCodeOf(driver->lpVtbl->GetErrorText(driver));
        report.Transaction(ms, ok, code);
        const bool isWrite = block->request.operation == QV_OPERATION_WRITE;
        for (qvpoll::Tag* tag : block->tags) {
          qvpoll::Row row{};
          row.scan = static_cast<int>(scan);
          row.tag = isWrite ? tag->text + "=" + std::to_string(tag->writeValue) : tag->text;
          row.ok = ok;
          row.digits = tag->address.registerTypeIndex == QV_TYPE_INDEX_M ? 2 : 4;
          if (isWrite) {
            row.value = tag->writeValue;
            row.quality = QV_QUALITY_GOOD;
            row.fileTime = 0;
          } else {
            uint32_t value = 0;
            memcpy(&value, tag->item.value, sizeof value);
            row.value = row.digits == 2 ? (value & 0xFF) : value;
            row.quality = tag->item.quality;
            row.fileTime = (static_cast<uint64_t>(tag->item.timestamp.high) << 32) | tag->item.timestamp.low;
          }
          row.errorCode = code;
          row.message = message;
          if (isWrite && ok) {
            report.Note("write " + row.tag + ": done");
          } else {
            report.Print(row);
          }
        }
      }
    }
    if (o.count == 0 || scan < o.count) {
      for (long waited = 0; waited < o.interval && !interrupted; waited += 50) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(50L, o.interval - waited)));
      }
    }
  }
  report.Summary(scans);
  driver->lpVtbl->ClosePort(driver);
  qvpoll::StopSimulator();
  return report.Failures() == 0 ? 0 : 1;
}
