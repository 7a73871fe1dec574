#include "tools/qvgateway/config/config.h"

#include <arpa/inet.h>
#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>

#include "tools/qvgateway/mqtt/mqtt_config.h"
#include "tools/qvgateway/config/sparkplug_config.h"
#include "tools/qvgateway/config/toml_table.h"

namespace qvgateway {
namespace {

const char* const kParities[] = {"none", "odd", "even", "mark", "space"};

// A choice for an adapter on the line, so refused where nothing on it
// could take it: the simulator's pseudo-terminal would refuse it at open.
void ReadRs485(TomlTable& t, LineConfig* line) {
  bool known = true;
  if (t.String("rs485", &line->rs485, false) && line->rs485 != "off" && line->rs485 != "rts-on-send" &&
      line->rs485 != "rts-after-send") {
    t.Refuse("rs485", "'" + line->rs485 + "' is not \"off\", \"rts-on-send\" or \"rts-after-send\"");
    known = false;
  }
  const bool on = known && line->rs485 != "off";
  for (const auto& delay : {std::make_pair("rs485_delay_before_us", &line->rs485DelayBeforeUs),
                            std::make_pair("rs485_delay_after_us", &line->rs485DelayAfterUs)}) {
    if (t.Int(delay.first, 0, 100000, delay.second) && *delay.second != 0 && known && !on) {
      t.Refuse(delay.first, "needs rs485 = \"rts-on-send\" or \"rts-after-send\": with rs485 off the driver does "
                            "not switch the transmitter, so there is nothing to delay");
    }
  }
  if (on && line->port == "sim") {
    t.Refuse("rs485", "the simulator (port = \"sim\") is a pseudo-terminal with no transmitter to switch, and "
                      "would refuse it: leave rs485 out, or name the adapter's port");
  }
}

void ReadLine(TomlTable& t, LineConfig* line) {
  t.Allow({"port", "baud", "data_bits", "parity", "stop_bits", "timeout_ms", "reply_wait", "check_station",
           "queue_size", "request_deadline_ms", "retries", "demote_after", "demote_s", "sim_set", "rs485",
           "rs485_delay_before_us", "rs485_delay_after_us"});
  line->portPlace = t.Place("port");
  if (!t.String("port", &line->port, true)) return;
  if (line->port.empty()) t.Refuse("port", "names the serial port (ttyUSB0, /dev/ttyS0) or \"sim\"");
  line->baudPlace = t.Place("baud");
  t.Int("baud", 300, 57600, &line->baud);
  t.Int("data_bits", 5, 8, &line->dataBits);
  std::string parity = "none";
  if (t.String("parity", &parity, false)) {
    auto found = std::find(std::begin(kParities), std::end(kParities), parity);
    if (found == std::end(kParities)) {
      t.Refuse("parity", "'" + parity + "' is not none, odd, even, mark or space");
    } else {
      line->parity = static_cast<int>(found - std::begin(kParities));
    }
  }
  t.Int("stop_bits", 1, 2, &line->stopBits);
  t.Int("timeout_ms", 0, 32767, &line->timeoutMs);
  if (t.String("reply_wait", &line->replyWait, false) && line->replyWait != "poll" && line->replyWait != "early") {
    t.Refuse("reply_wait", "'" + line->replyWait + "' is not poll or early");
  }
  bool check = false;
  if (t.Bool("check_station", &check)) line->checkStation = check ? 1 : 0;
  ReadRs485(t, line);
  t.Int("queue_size", 1, 65536, &line->queueSize);
  t.Int("request_deadline_ms", 1, 3600000, &line->requestDeadlineMs);
  t.Int("retries", 0, 10, &line->retries);
  t.Int("demote_after", 1, 1000, &line->demoteAfter);
  t.Int("demote_s", 1, 86400, &line->demoteS);
  t.Strings("sim_set", &line->simSet);
}

void ReadModbus(TomlTable& t, ModbusConfig* modbus) {
  t.Allow({"listen", "allow", "max_clients", "idle_timeout_s"});
  std::string listen;
  if (t.String("listen", &listen, false) && !ParseListen(listen, &modbus->host, &modbus->port)) {
    t.Refuse("listen", "'" + listen + "' is not an IPv4 address and port (0..65535), e.g. \"127.0.0.1:1502\"");
  }
  std::vector<std::string> allow{"127.0.0.1/32"};
  t.Strings("allow", &allow);
  for (const auto& text : allow) {
    Network network;
    if (!ParseNetwork(text, &network)) {
      t.Refuse("allow", "'" + text + "' is not an IPv4 network such as \"192.168.1.0/24\"");
    } else {
      modbus->allow.push_back(network);
    }
  }
  t.Int("max_clients", 1, 1000, &modbus->maxClients);
  t.Int("idle_timeout_s", 1, 86400, &modbus->idleTimeoutS);
}

void ReadStation(TomlTable& t, StationConfig* station) {
  t.Allow({"number", "unit", "poll_ms", "max_age_ms", "read", "write", "name"});
  station->place = t.Place("");
  if (t.Int("number", 0, 255, &station->number, true) && station->number > 31 && station->number != 255) {
    t.Refuse("number", "stations are 0..31 and 255");
  }
  station->unitPlace = t.Place("unit");
  if (!t.Int("unit", 1, 247, &station->unit)) {
    if (station->number >= 1 && station->number <= 247) {
      station->unit = station->number;
      station->unitPlace = t.Place("number");
    } else if (!t.Has("unit")) {
      t.Refuse("unit", "station " + std::to_string(station->number) +
                           " is not a Modbus unit id (1..247): give this station a unit");
    }
  }
  ReadStationName(t, station);
  station->pollPlace = t.Place("poll_ms");
  t.Int("poll_ms", 0, 3600000, &station->pollMs);
  t.Int("max_age_ms", 1, 3600000, &station->maxAgeMs);
  std::vector<std::string> read, write;
  t.Strings("read", &read);
  t.Strings("write", &write);
  for (auto& r : read) station->read.push_back({r, t.Place("read").line});
  for (auto& w : write) station->write.push_back({w, t.Place("write").line});
  if (station->read.empty() && station->write.empty()) {
    t.Refuse("read", "the station has neither read nor write ranges: give it \"read\"");
  }
}

}  // namespace

std::vector<std::string> ConfigWarnings(const GatewayConfig& config) {
  std::vector<std::string> warnings;
  if (!config.mqtt.enabled && !config.sparkplug.enabled) return warnings;
  for (const StationConfig& s : config.stations) {
    if (s.pollMs != 0) continue;
    warnings.push_back(Problem(config.file, s.pollPlace,
                               std::string(config.mqtt.enabled ? "0 with [mqtt]" : "0 with [sparkplug]") +
                                   ": station " + std::to_string(s.number) +
                                   "'s MQTT topics will not update (it is read only when a Modbus client asks); "
                                   "leave poll_ms out to poll it every " + std::to_string(kMqttPollMs) + " ms"));
  }
  return warnings;
}

std::string MissingPortProblem(const GatewayConfig& config) {
  const std::string& port = config.line.port;
  if (port.empty() || port == "sim") return "";
  // As the driver reads a name: a bare one lives in /dev.
  const std::string path = port.find('/') == std::string::npos ? "/dev/" + port : port;
  struct stat status {};
  if (stat(path.c_str(), &status) == 0 || errno != ENOENT) return "";
  return Problem(config.file, config.line.portPlace,
                 path + " does not exist on this machine: the gateway would not start");
}

std::string Problem(const std::string& file, const KeyPlace& place, const std::string& why) {
  return file + ":" + std::to_string(place.line) + ": " + place.key + ": " + why;
}

std::string PortName(const std::string& port) {
  const size_t slash = port.rfind('/');
  return slash == std::string::npos ? port : port.substr(slash + 1);
}

bool ParseNetwork(const std::string& text, Network* network) {
  const size_t slash = text.find('/');
  int bits = 32;
  if (slash != std::string::npos) {
    const std::string digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 2 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    bits = std::stoi(digits);
    if (bits > 32) return false;
  }
  in_addr address{};
  if (inet_pton(AF_INET, text.substr(0, slash).c_str(), &address) != 1) return false;
  network->mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
  network->address = ntohl(address.s_addr) & network->mask;
  network->text = text;
  return true;
}

void ReadHttp(TomlTable& t, HttpConfig* http) {
  t.Allow({"listen"});
  http->enabled = true;
  std::string listen;
  if (t.String("listen", &listen, false) && !ParseListen(listen, &http->host, &http->port)) {
    t.Refuse("listen", "'" + listen + "' is not an IPv4 address and port (0..65535), e.g. \"127.0.0.1:8502\"");
  }
}

bool ParseListen(const std::string& text, std::string* host, int* port) {
  const size_t colon = text.rfind(':');
  in_addr address{};
  if (colon == std::string::npos || colon + 1 >= text.size() || colon + 6 < text.size() ||
      text.find_first_not_of("0123456789", colon + 1) != std::string::npos ||
      inet_pton(AF_INET, text.substr(0, colon).c_str(), &address) != 1) {
    return false;
  }
  const int number = std::stoi(text.substr(colon + 1));
  if (number > 65535) return false;
  *host = text.substr(0, colon);
  *port = number;
  return true;
}

bool Allowed(const std::vector<Network>& allow, uint32_t address) {
  for (const auto& n : allow) {
    if ((address & n.mask) == n.address) return true;
  }
  return false;
}

bool LoadConfig(const std::string& path, GatewayConfig* config, std::vector<std::string>* problems) {
  config->file = path;
  TomlDocument document;
  if (!document.Parse(path, problems)) return false;
  TomlTable root = document.Root();
  root.Allow({"line", "modbus", "mqtt", "sparkplug", "http", "station", "tag"});
  if (!root.Has("line")) root.Refuse("line", "the file has no [line] table: it names the port");
  TomlTable line = root.Table("line");
  if (root.Has("line")) ReadLine(line, &config->line);
  TomlTable modbus = root.Table("modbus");
  ReadModbus(modbus, &config->modbus);
  if (root.Has("mqtt")) {
    TomlTable mqtt = root.Table("mqtt");
    ReadMqtt(mqtt, config->line, &config->mqtt);
  }
  ReadSparkplug(root, config);
  if (root.Has("http")) {
    TomlTable http = root.Table("http");
    ReadHttp(http, &config->http);
  }
  std::vector<TomlTable> stations = root.Tables("station");
  if (stations.empty()) root.Refuse("station", "the file has no [[station]]: a gateway serves at least one");
  std::map<int, const StationConfig*> units, numbers;
  config->stations.resize(stations.size());
  for (size_t i = 0; i < stations.size(); ++i) {
    ReadStation(stations[i], &config->stations[i]);
    if ((config->mqtt.enabled || config->sparkplug.enabled) && !stations[i].Has("poll_ms")) {
      config->stations[i].pollMs = kMqttPollMs;
    }
  }
  for (size_t i = 0; i < stations.size(); ++i) {
    const StationConfig& s = config->stations[i];
    auto sameNumber = numbers.find(s.number);
    if (sameNumber != numbers.end()) {
      stations[i].Refuse("number", "station " + std::to_string(s.number) + " is already configured at line " +
                                       std::to_string(sameNumber->second->place.line));
    }
    numbers.emplace(s.number, &s);
    auto sameUnit = units.find(s.unit);
    if (s.unit != 0 && sameUnit != units.end()) {
      problems->push_back(Problem(path, s.unitPlace, "unit " + std::to_string(s.unit) + " is already station " +
                                                         std::to_string(sameUnit->second->number) + "'s (line " +
                                                         std::to_string(sameUnit->second->unitPlace.line) + ")"));
    }
    units.emplace(s.unit, &s);
  }
  ReadTags(root, config);
  CheckSparkplug(root, stations, *config);
  document.CollectProblems(problems);
  return problems->empty();
}

}  // namespace qvgateway
