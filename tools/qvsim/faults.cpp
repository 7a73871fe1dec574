#include "tools/qvsim/faults.h"

#include <stdlib.h>

namespace qvsim {
namespace {

// Every fault with what it does; --help and --fault's check are made from
// this table, so a new fault is one row here and its case in the
// controller (a reply fault) or the serving loop (timing and line faults).
struct FaultRow {
  Fault fault;
  const char* name;
  bool takesMs;
  const char* effect;
} const kFaults[] = {
    {Fault::None, "none", false, "answer correctly"},
    {Fault::Silent, "silent", false, "no reply at all (the host times out)"},
    {Fault::Nak, "nak", false, "NAK instead of the reply; a write is refused, not applied"},
    {Fault::Status2, "status2", false,
     "status 2 (address out of range) instead of the reply; a write is not applied"},
    {Fault::Split, "split", false, "the reply in three pieces, --split-pause apart"},
    {Fault::Garbage, "garbage", false, "stray bytes before the reply"},
    {Fault::Short, "short", false, "half the data, then CR"},
    {Fault::Long, "long", false, "300 extra characters before the CR"},
    {Fault::NonHex, "nonhex", false, "a non-hex digit in the reply"},
    {Fault::Trailing, "trailing", false, "a line feed after the CR, in the same write"},
    {Fault::Late, "late", true, "the reply MS after the request, however long the host waits; requests that "
                                "came meanwhile are answered after it"},
    {Fault::Drop, "drop", true, "no reply: the line goes away as an unplugged adapter does (a pty is closed "
                                "and its link removed, a port closed) and comes back after MS (--pty, --port)"},
};

const FaultRow* RowOf(Fault fault) {
  for (const auto& row : kFaults) {
    if (row.fault == fault) return &row;
  }
  return nullptr;
}

}  // namespace

const char* FaultName(Fault fault) {
  const FaultRow* row = RowOf(fault);
  return row != nullptr ? row->name : "?";
}

std::string FaultText(const FaultSpec& fault) {
  const FaultRow* row = RowOf(fault.kind);
  if (row == nullptr) return "?";
  return row->takesMs ? std::string(row->name) + ":" + std::to_string(fault.ms) : row->name;
}

std::string FaultHelp() {
  std::string help;
  for (const auto& row : kFaults) {
    std::string name = std::string(row.name) + (row.takesMs ? ":MS" : "");
    name.resize(10, ' ');
    help += "  " + name + row.effect + "\n";
  }
  return help;
}

std::string FaultNames() {
  std::string names;
  for (const auto& row : kFaults) {
    names += (names.empty() ? "" : ", ") + std::string(row.name) + (row.takesMs ? ":MS" : "");
  }
  return names;
}

bool ParseFault(const std::string& text, FaultSpec* fault, std::string* problem) {
  const size_t colon = text.find(':');
  const std::string name = text.substr(0, colon);
  for (const auto& row : kFaults) {
    if (name != row.name) continue;
    if (!row.takesMs) {
      if (colon == std::string::npos) {
        *fault = FaultSpec{row.fault, 0};
        return true;
      }
      *problem = "fault '" + name + "' takes no time";
      return false;
    }
    const std::string ms = colon == std::string::npos ? "" : text.substr(colon + 1);
    char* end = nullptr;
    const long value = ms.empty() ? -1 : strtol(ms.c_str(), &end, 10);
    if (ms.empty() || *end != '\0' || ms[0] == '-' || ms[0] == '+' || value < 0 || value > 600000) {
      *problem = "fault '" + name + "' needs a time in milliseconds, 0..600000: " + name + ":MS";
      return false;
    }
    *fault = FaultSpec{row.fault, static_cast<int>(value)};
    return true;
  }
  *problem = "unknown fault '" + text + "': use " + FaultNames();
  return false;
}

FaultSpec FaultPicker::For(long request, int station) {
  const bool selects = !s_.at.empty() || s_.every > 0 || s_.rate > 0;
  // The random draw is made for every request, so that a request's fate
  // depends only on the seed and its number.
  const bool drawn = s_.rate > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < s_.rate;
  const Fault mixed = kReplyFaults[random_() % (sizeof kReplyFaults / sizeof kReplyFaults[0])];
  if (s_.station >= 0 && station != s_.station) return FaultSpec{};
  const bool hit = !selects || drawn || s_.at.count(request) != 0 || (s_.every > 0 && request % s_.every == 0);
  if (!hit) return FaultSpec{};
  if (s_.given) return s_.fault;
  return selects ? FaultSpec{mixed, 0} : FaultSpec{};
}

}  // namespace qvsim
