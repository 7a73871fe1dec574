// What a host sends the edge node, as bytes: a command (NCMD, DCMD) as a
// Sparkplug B payload, and the primary host's STATE as JSON. Anyone who
// may publish on the broker can send anything on those topics, so each is
// bounded in size and nesting before a decoder sees it: both decoders
// recurse one stack frame a level. Pure, for the tables and the fuzzer.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace qvgateway {

// A command is a few metrics, each a name or alias and a value.
constexpr size_t kMaxCommandBytes = 65536;
constexpr int kMaxCommandNesting = 16;  // messages within messages, the payload one
// {"online": true, "timestamp": 1733839200000}
constexpr size_t kMaxStateBytes = 4096;
constexpr int kMaxStateDepth = 8;

// A metric of a command as sent: by name or alias, and its value when it
// has one the gateway can use.
struct CommandMetric {
  std::string name;
  bool hasName = false, hasAlias = false;
  uint64_t alias = 0;
  uint32_t datatype = 0;
  enum class Kind { None, Boolean, Number } kind = Kind::None;
  bool flag = false;
  double number = 0;
  std::string text;  // the value as sent, for the log
};

// False with why when `bytes` is no Sparkplug B payload, or a larger or
// deeper one than a command can be.
bool DecodeCommand(const std::string& bytes, std::vector<CommandMetric>* metrics, std::string* why);

// The primary host's STATE: false with why unless it is a small JSON
// object with a boolean "online" (other keys are the host's own).
bool ParseHostState(const std::string& payload, bool* online, std::string* why);

}  // namespace qvgateway
