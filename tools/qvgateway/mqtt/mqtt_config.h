// The [mqtt] table: the broker, the client's id, the topics' prefix, the
// quality of service, and the optional user, password file and TLS
// authority. Every refusal names the key and its line, as for the others.
#pragma once

#include "tools/qvgateway/config/config.h"
#include "tools/qvgateway/config/toml_table.h"

namespace qvgateway {

// `line`: for the defaults of client_id and prefix, which name the port.
void ReadMqtt(TomlTable& t, const LineConfig& line, MqttConfig* mqtt);

// The connection's keys, shared with [sparkplug]: broker (required),
// client_id, keepalive_s, username, password_file, tls_ca.
void ReadBrokerKeys(TomlTable& t, const std::string& defaultClientId, MqttConfig* mqtt);

// A topic prefix a publisher may use: levels of text, none empty, no
// wildcard. False with why.
bool CheckPrefix(const std::string& prefix, std::string* why);

}  // namespace qvgateway
