// What a gateway's TOML file says: its line, its Modbus listener and its
// stations, every value checked and kept with the line it came from, so
// that a later refusal (two stations on one unit, a plan too big for the
// line) can point at it.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/qvgateway/config/tag_config.h"

namespace qvgateway {

// A value's place in the file, for messages: "station[2].unit" at line 14.
struct KeyPlace {
  std::string key;
  int line = 0;
};

struct LineConfig {
  std::string port;  // "sim": qvsim on a pseudo-terminal
  int baud = 9600;
  int dataBits = 8;
  int parity = 0;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
  int stopBits = 1;
  int timeoutMs = 1000;
  std::string replyWait;  // "", "poll" or "early"; "" leaves the driver's default
  int checkStation = -1;  // -1: on when the line has more than one station
  // The driver's RS-485 switching: "off", "rts-on-send" or "rts-after-send".
  std::string rs485 = "off";
  int rs485DelayBeforeUs = 0;
  int rs485DelayAfterUs = 0;
  int queueSize = 256;
  int requestDeadlineMs = 5000;
  int retries = 1;  // reads only; a write is never sent twice
  int demoteAfter = 3;
  int demoteS = 10;
  std::vector<std::string> simSet;  // "D100=1234", memory for port = "sim"
  KeyPlace baudPlace, portPlace;
};

struct Network {
  uint32_t address = 0;  // host order
  uint32_t mask = 0;
  std::string text;
};

struct ModbusConfig {
  std::string host = "127.0.0.1";
  int port = 1502;  // 0: any free port, said in the start line
  std::vector<Network> allow;
  int maxClients = 16;
  int idleTimeoutS = 60;
};

// The MQTT adapter; absent unless the file has an [mqtt] table.
struct MqttConfig {
  bool enabled = false;
  std::string host;
  int port = 1883;
  std::string clientId;  // default: qvgateway-<host>-<port name>
  std::string prefix;    // default: quorvalend/<port name>
  int qos = 1;
  int keepaliveS = 30;
  std::string username;
  std::string password;  // read from password_file; never logged
  std::string tlsCa;
  int registers = -1;  // register topics: -1 only when no [[tag]] is named
};

// The Sparkplug B edge node; absent unless the file has a [sparkplug]
// table. Its broker keys follow [mqtt]'s rules (`broker`; qos is always 1).
struct SparkplugConfig {
  bool enabled = false;
  MqttConfig broker;     // host, port, client id, keepalive, login, TLS
  std::string groupId, edgeNodeId;
  std::string primaryHostId;  // "": publish whatever any host says
  std::string bufferDir;      // "": no store-and-forward
  int bufferMaxMb = 64;
  KeyPlace place;
};

// The HTTP side (/metrics, /healthz, the status page); absent unless the
// file has an [http] table.
struct HttpConfig {
  bool enabled = false;
  std::string host = "127.0.0.1";
  int port = 8502;  // 0: any free port, said in the start line
};

struct RangeText {
  std::string text;
  int line = 0;
};

// A station's poll period when the file gives none and [mqtt] is set:
// a publisher's tags change only when the station is read.
constexpr int kMqttPollMs = 1000;

struct StationConfig {
  int number = 0;
  int unit = 0;
  int pollMs = 0;  // 0: read only when a client asks; kMqttPollMs by default with [mqtt] or [sparkplug]
  std::string name;  // the Sparkplug device id: "station<number>" unless named
  int maxAgeMs = 1000;
  std::vector<RangeText> read, write;
  KeyPlace place;  // the station's table
  KeyPlace unitPlace, pollPlace;
};

struct GatewayConfig {
  std::string file;
  LineConfig line;
  ModbusConfig modbus;
  MqttConfig mqtt;
  SparkplugConfig sparkplug;
  HttpConfig http;
  std::vector<StationConfig> stations;
  std::vector<TagConfig> tags;
};

// Reads and checks `path`. False with one message per problem, each
// "FILE:LINE: KEY: why".
bool LoadConfig(const std::string& path, GatewayConfig* config, std::vector<std::string>* problems);

// What a sound file may still do that its writer did not mean, one
// "FILE:LINE: KEY: why" each: a station with poll_ms = 0 under [mqtt].
std::vector<std::string> ConfigWarnings(const GatewayConfig& config);

// "FILE:LINE: line.port: /dev/ttyUSB9 does not exist on this machine: ...",
// or empty when the port is "sim" or names something that exists. Only
// looked up, never opened: checking a file leaves the line untouched.
std::string MissingPortProblem(const GatewayConfig& config);

// "FILE:LINE: KEY: why"
std::string Problem(const std::string& file, const KeyPlace& place, const std::string& why);

// "127.0.0.1:1502": an IPv4 address and a port (0..65535); false when not.
bool ParseListen(const std::string& text, std::string* host, int* port);

// "10.0.0.0/8" or a single address; false when it is neither.
bool ParseNetwork(const std::string& text, Network* network);
bool Allowed(const std::vector<Network>& allow, uint32_t address);

// The last part of a port's name ("ttyUSB0" of "/dev/ttyUSB0"), for the
// MQTT client id and prefix a file does not give.
std::string PortName(const std::string& port);

}  // namespace qvgateway
