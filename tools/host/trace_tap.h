// The driver's trace of a tool's own objects, read back line by line: what
// each transaction sent and got, and why it failed, in the driver's words.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace qvhost {

class TraceTap {
 public:
  // `path`: the file the objects trace into (see ObjectSettings).
  void Start(const std::string& path) {
    path_ = path;
    offset_ = 0;
  }
  bool Started() const { return !path_.empty(); }
  // The whole lines that arrived since the last call, in order, each with
  // its line end. The driver renames a full file to PATH.1; what was left
  // unread there comes first.
  std::vector<std::string> Take();

 private:
  std::string path_;
  uint64_t offset_ = 0;
};

// One transaction as its trace lines tell it.
struct TraceOutcome {
  bool found = false;      // an outcome line was among the lines
  bool ok = false;
  bool sent = false;       // a request frame went to the port
  int systemError = 0;     // the port write failed with this system error
  std::string why;         // the driver's reason, "the controller refused (NAK)"
  std::string arrived;     // the reply or what came before the time-out, "<NAK>01<CR>"; "nothing"
};

// The last transaction among `lines`.
TraceOutcome LastOutcome(const std::vector<std::string>& lines);

// Settings the driver did not understand, from an object's first line:
// {"CheckStation=maybe", ...}.
std::vector<std::string> IgnoredSettings(const std::vector<std::string>& lines);

// A failure's reason in a sentence: "the controller refused (NAK)", "no
// reply", "no complete reply; arrived: <7F>#garbage...", "line lost: port
// write failed, system error 5"; empty for a success.
std::string Reason(const TraceOutcome& outcome);

}  // namespace qvhost
