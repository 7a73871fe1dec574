#include "tools/qvgateway/mqtt/mqtt_config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace qvgateway {
namespace {

bool ParseBroker(const std::string& text, std::string* host, int* port) {
  const size_t colon = text.rfind(':');
  std::string name = text.substr(0, colon);
  if (colon != std::string::npos) {
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    *port = std::stoi(digits);
    if (*port < 1 || *port > 65535) return false;
  }
  if (name.empty() || name.find_first_of(" \t/:") != std::string::npos) return false;
  *host = name;
  return true;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

}  // namespace

bool CheckPrefix(const std::string& prefix, std::string* why) {
  if (prefix.empty()) {
    *why = "is empty: give the topics' first levels, e.g. \"quorvalend/line1\"";
  } else if (prefix.find_first_of("+#") != std::string::npos || prefix.find('\0') != std::string::npos) {
    *why = "'" + prefix + "' holds a wildcard (+ or #), which a published topic cannot hold";
  } else if (prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string::npos) {
    *why = "'" + prefix + "' has an empty level: no leading, trailing or double /";
  } else {
    return true;
  }
  return false;
}

void ReadMqtt(TomlTable& t, const LineConfig& line, MqttConfig* mqtt) {
  t.Allow({"broker", "client_id", "prefix", "qos", "keepalive_s", "username", "password_file", "tls_ca", "registers"});
  mqtt->enabled = true;
  ReadBrokerKeys(t, "qvgateway-" + HostName() + "-" + PortName(line.port), mqtt);
  mqtt->prefix = "quorvalend/" + PortName(line.port);
  std::string why;
  if (t.String("prefix", &mqtt->prefix, false) && !CheckPrefix(mqtt->prefix, &why)) t.Refuse("prefix", why);
  t.Int("qos", 0, 2, &mqtt->qos);
  bool registers = false;
  if (t.Bool("registers", &registers)) mqtt->registers = registers ? 1 : 0;
}

void ReadBrokerKeys(TomlTable& t, const std::string& defaultClientId, MqttConfig* mqtt) {
  std::string broker;
  if (t.String("broker", &broker, true) && !ParseBroker(broker, &mqtt->host, &mqtt->port)) {
    t.Refuse("broker", "'" + broker + "' is not a host and port (1..65535), e.g. \"127.0.0.1:1883\"");
  }
  mqtt->clientId = defaultClientId;
  if (t.String("client_id", &mqtt->clientId, false) && mqtt->clientId.empty()) {
    t.Refuse("client_id", "is empty: leave it out for " + defaultClientId);
  }
  t.Int("keepalive_s", 5, 3600, &mqtt->keepaliveS);
  t.String("username", &mqtt->username, false);
  std::string passwordFile;
  if (t.String("password_file", &passwordFile, false)) {
    struct stat status {};
    std::ifstream in(passwordFile, std::ios::binary);
    std::stringstream text;
    if (stat(passwordFile.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
      t.Refuse("password_file", "'" + passwordFile + "' is not a file");
    } else if (!in || !(text << in.rdbuf()) || text.str().find_first_not_of("\r\n") == std::string::npos) {
      t.Refuse("password_file", "'" + passwordFile + "' cannot be read, or holds no password");
    } else if (mqtt->username.empty()) {
      t.Refuse("password_file", "a password needs a username: give username too");
    } else {
      // The file's one line; its line end is not part of the password.
      mqtt->password = text.str();
      while (!mqtt->password.empty() && (mqtt->password.back() == '\n' || mqtt->password.back() == '\r')) {
        mqtt->password.pop_back();
      }
    }
  }
  if (t.String("tls_ca", &mqtt->tlsCa, false) && access(mqtt->tlsCa.c_str(), R_OK) != 0) {
    t.Refuse("tls_ca", "'" + mqtt->tlsCa + "' cannot be read");
  }
}

}  // namespace qvgateway
