#include "tools/host/trace_tap.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>

static_assert(sizeof(off_t) == 8, "a trace may grow past 2 GiB: build with 64-bit file offsets");

namespace qvhost {
namespace {

// Reads `path` from `offset` to its end; false when it cannot be opened.
bool ReadFrom(const std::string& path, uint64_t offset, std::string* text, uint64_t* size) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  // The file offset type, not long: a trace may grow past 2 GiB.
  fseeko(file, 0, SEEK_END);
  *size = static_cast<uint64_t>(ftello(file));
  if (*size > offset) {
    fseeko(file, static_cast<off_t>(offset), SEEK_SET);
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, n);
  }
  fclose(file);
  return true;
}

// Whole lines only, each with its line end; returns the bytes they took.
// The rest comes with the next call.
size_t SplitLines(const std::string& text, std::vector<std::string>* lines) {
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines->push_back(text.substr(start, end + 1 - start));
    start = end + 1;
  }
  return start;
}

const char kFailed[] = "  failed";
const char kOk[] = "  ok";
const char kPortWrite[] = ", port write failed, system error ";
const char kIgnored[] = "; ignored, not understood: ";

}  // namespace

std::vector<std::string> TraceTap::Take() {
  std::vector<std::string> lines;
  if (path_.empty()) return lines;
  std::string text;
  uint64_t size = 0;
  if (!ReadFrom(path_, offset_, &text, &size)) return lines;
  if (size < offset_) {
    // Renamed to .1 since the last call: its rest, then the new file.
    std::string rest;
    uint64_t oldSize = 0;
    if (ReadFrom(path_ + ".1", offset_, &rest, &oldSize)) SplitLines(rest, &lines);
    offset_ = 0;
    text.clear();
    ReadFrom(path_, 0, &text, &size);
  }
  offset_ += SplitLines(text, &lines);
  return lines;
}

TraceOutcome LastOutcome(const std::vector<std::string>& lines) {
  TraceOutcome outcome;
  for (std::string line : lines) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    const size_t failed = line.rfind(kFailed);
    const size_t ok = line.rfind(kOk);
    const bool request = line.find(" -> ") != std::string::npos;
    if (request) {
      outcome = TraceOutcome{};
      outcome.sent = true;
      continue;
    }
    // An outcome line names a station by number and ends with the
    // transaction's time.
    const size_t station = line.find(" station ");
    const bool numbered = station != std::string::npos && station + 9 < line.size() && isdigit(
                              static_cast<unsigned char>(line[station + 9]));
    if ((failed == std::string::npos && ok == std::string::npos) || !numbered || line.size() < 3 ||
        line.compare(line.size() - 3, 3, " ms") != 0) {
      continue;
    }
    const bool sent = outcome.sent;
    outcome = TraceOutcome{};
    outcome.found = true;
    outcome.sent = sent;
    const size_t arrow = line.find(" <- ");
    const size_t end = failed != std::string::npos ? failed : ok;
    if (arrow != std::string::npos) {
      const size_t bar = line.find(" | ", arrow);
      const size_t from = bar != std::string::npos && bar < end ? bar + 3 : arrow + 4;
      outcome.arrived = line.substr(from, end - from);
    }
    if (failed == std::string::npos) {
      outcome.ok = true;
      continue;
    }
    // "  failed, code 5 (receive time-out), port write failed, system error 5: why, 3.1 ms"
    std::string rest = line.substr(failed + sizeof kFailed - 1);
    const size_t time = rest.rfind(", ");
    if (time != std::string::npos) rest.erase(time);
    const size_t code = rest.find(')');
    if (rest.compare(0, 7, ", code ") == 0 && code != std::string::npos) rest.erase(0, code + 1);
    if (rest.compare(0, sizeof kPortWrite - 1, kPortWrite) == 0) {
      rest.erase(0, sizeof kPortWrite - 1);
      outcome.systemError = atoi(rest.c_str());
      const size_t digits = rest.find_first_not_of("0123456789");
      rest.erase(0, digits == std::string::npos ? rest.size() : digits);
    }
    if (rest.compare(0, 2, ": ") == 0) outcome.why = rest.substr(2);
  }
  return outcome;
}

std::vector<std::string> IgnoredSettings(const std::vector<std::string>& lines) {
  std::vector<std::string> settings;
  for (const std::string& line : lines) {
    const size_t at = line.find(kIgnored);
    if (at == std::string::npos || line.find(" created: ") == std::string::npos) continue;
    std::string list = line.substr(at + sizeof kIgnored - 1);
    while (!list.empty() && (list.back() == '\n' || list.back() == '\r')) list.pop_back();
    // "ReplyWait=fast CheckStation=maybe": a value may hold blanks, a name
    // never does; each name starts with an upper-case letter after a blank.
    size_t start = 0;
    for (size_t i = 1; i <= list.size(); ++i) {
      const bool next = i < list.size() && list[i - 1] == ' ' && isupper(static_cast<unsigned char>(list[i])) &&
                        list.find('=', i) != std::string::npos &&
                        list.find(' ', i) > list.find('=', i);
      if (i == list.size() || next) {
        std::string one = list.substr(start, (i == list.size() ? i : i - 1) - start);
        if (!one.empty()) settings.push_back(one);
        start = i;
      }
    }
  }
  return settings;
}

std::string Reason(const TraceOutcome& outcome) {
  if (outcome.ok) return "";
  if (outcome.systemError != 0) {
    return "line lost: port write failed, system error " + std::to_string(outcome.systemError) +
           "; the request did not leave";
  }
  if (outcome.why == "no complete reply (shown: what arrived)") return "no complete reply; arrived: " + outcome.arrived;
  if (!outcome.why.empty()) return outcome.why;
  if (outcome.arrived == "nothing") return "no reply";
  if (!outcome.sent && outcome.found) return "nothing was sent";
  return "";
}

}  // namespace qvhost
