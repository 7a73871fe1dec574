#include "tools/qvpoll/station_scan.h"

#include <stdio.h>
#include <string.h>

#include <nlohmann/json.hpp>
#include <vector>

#include "tools/qvpoll/signals.h"
#include "tools/qvpoll/text_output.h"

namespace qvpoll {
namespace {

constexpr int kBadReply = 6;  // someone answered, with something wrong

struct Found {
  int station = 0;
  qvhost::LineRequest line;
  bool goodReply = true;
  std::string command;
};

std::string Quoted(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./:\\-") ==
                           std::string::npos) {
    return text;
  }
  return "\"" + text + "\"";
}

// With --sim the pseudo-terminal is gone when the scan ends: the command
// starts a simulator of its own.
std::string CommandFor(const qvhost::LineRequest& line, int station, bool sim) {
  std::string command = std::string("qvpoll ") + (sim ? "--sim" : "--port " + Quoted(line.port)) + " --baud " +
                        std::to_string(line.baud) + " --parity " + ParityName(line.parity);
  if (line.dataBits != 8) command += " --data-bits " + std::to_string(line.dataBits);
  if (line.stopBits != 1) command += " --stop-bits " + std::to_string(line.stopBits);
  return command + " --station " + std::to_string(station) + " D0";
}

std::string Setting(const qvhost::LineRequest& line) {
  return std::to_string(line.baud) + " baud, parity " + ParityName(line.parity);
}

// One line on a terminal, rewritten in place; nothing when redirected.
void Progress(const std::string& text) {
  // Padded rather than cleared by an escape, which older consoles print.
  constexpr size_t kWidth = 79;
  if (qvhost::IsTerminal(qvhost::Stream::Err)) {
    qvhost::WriteText(qvhost::Stream::Err, "\r" + text + std::string(text.size() < kWidth ? kWidth - text.size() : 0, ' ') + "\r");
  }
}

void Print(const Options& options, const Found& found) {
  if (options.format == Format::Json) {
    nlohmann::ordered_json json;
    json["station"] = found.station;
    json["baud"] = found.line.baud;
    json["parity"] = ParityName(found.line.parity);
    json["data_bits"] = found.line.dataBits;
    json["stop_bits"] = found.line.stopBits;
    json["reply"] = found.goodReply ? "good" : "erroneous";
    json["command"] = found.command;
    qvhost::WriteText(qvhost::Stream::Out, json.dump() + "\n");
  } else if (options.format == Format::Csv) {
    qvhost::WriteText(qvhost::Stream::Out, std::to_string(found.station) + "," + std::to_string(found.line.baud) + "," +
                               ParityName(found.line.parity) + "," + std::to_string(found.line.dataBits) + "," +
                               std::to_string(found.line.stopBits) + "," + (found.goodReply ? "good" : "erroneous") +
                               ",\"" + found.command + "\"\n");
  } else {
    qvhost::WriteText(qvhost::Stream::Out, "station " + std::to_string(found.station) + " answered at " + Setting(found.line) +
                               (found.goodReply ? "" : " (with an erroneous reply)") + ": " + found.command + "\n");
  }
}

}  // namespace

int ScanStations(qvhost::Session& session, const Options& options, const std::string& device, const Hooks& hooks) {
  std::vector<int> stations = options.stations;
  if (!options.stationsGiven) {
    stations.clear();
    for (int s = 0; s <= 31; ++s) stations.push_back(s);
    stations.push_back(255);
  }
  std::vector<qvhost::Tag> probe(1);
  TagDefinition definition{};
  memcpy(definition.addressText, "D0", 3);
  definition.dataType = QV_DATA_TYPE_WORD;
  session.Parser()->lpVtbl->ParseTag(session.Parser(), &definition, &probe[0].address);
  probe[0].text = "D0";

  if (options.format == Format::Csv && !options.quiet) {
    qvhost::WriteText(qvhost::Stream::Out, "station,baud,parity,data_bits,stop_bits,reply,command\n");
  }
  std::vector<Found> found;
  int settings = 0, refused = 0, probes = 0;
  std::string error, unopened;
  for (int baud : options.bauds) {
    for (int parity : options.parities) {
      qvhost::LineRequest line{device, baud, options.dataBits, parity, options.stopBits};
      if (StopRequested()) break;
      ++settings;
      if (!session.OpenFirst(line, options.timeoutMs, &error)) {
        ++refused;
        unopened += (unopened.empty() ? "" : ", ") + Setting(line);
        Progress("");
        Complain(Setting(line) + ": " + error);
        continue;
      }
      for (int station : stations) {
        if (StopRequested()) break;
        Progress("scanning " + Setting(line) + ": station " + std::to_string(station) + " (" +
                 std::to_string(found.size()) + " found)");
        probe[0].address.deviceAddress = static_cast<int16_t>(station);
        auto blocks = GroupTags(session.Parser(), probe, false, static_cast<int16_t>(station));
        const qvhost::Outcome outcome = session.Execute(blocks.front()->request);
        ++probes;
        if (hooks.afterTransaction) hooks.afterTransaction();
        if (!outcome.ok && outcome.error.code != kBadReply) continue;
        Found f{station, line, outcome.ok, ""};
        f.line.port = options.sim ? device : options.port;
        f.command = CommandFor(f.line, station, options.sim);
        Progress("");
        Print(options, f);
        found.push_back(f);
      }
      session.Close();
    }
  }
  Progress("");
  if (settings > 0 && refused == settings) return 2;
  if (!options.quiet) {
    // Only the settings the port took were scanned; the others are named.
    const int scanned = settings - refused;
    std::string text = "scan: " + std::to_string(probes) + " probes at " + std::to_string(scanned) + " setting" +
                       (scanned == 1 ? "" : "s") + ", " + std::to_string(found.size()) + " answered" +
                       (refused > 0 ? "; not scanned, the port could not be opened at: " + unopened : "") +
                       (StopRequested() ? "; stopped: interrupted" : "");
    if (found.empty()) text += "; check the wiring (A/B swapped?), the port, and try more --bauds and --parities";
    if (options.format == Format::Json) {
      qvhost::WriteText(qvhost::Stream::Out, nlohmann::ordered_json{{"scan", {{"probes", probes}, {"settings", scanned},
                                                             {"answered", found.size()},
                                                             {"not_opened", refused}}}}.dump() + "\n");
    } else {
      qvhost::WriteText(options.format == Format::Table ? qvhost::Stream::Out : qvhost::Stream::Err, text + "\n");
    }
  }
  return found.empty() ? 1 : 0;
}

}  // namespace qvpoll
