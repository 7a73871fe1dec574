// What qvsim does wrong on purpose, and to which requests.
#pragma once

#include <random>
#include <set>
#include <string>

namespace qvsim {

enum class Fault { None, Silent, Nak, Status2, Split, Garbage, Short, Long, NonHex, Trailing, Late, Drop };

// A fault and, for those that take one (late, drop), its time.
struct FaultSpec {
  Fault kind = Fault::None;
  int ms = 0;
};

const char* FaultName(Fault fault);
std::string FaultText(const FaultSpec& fault);  // "nak", "late:600"
// "late:600" and the like; on failure `problem` says why.
bool ParseFault(const std::string& text, FaultSpec* fault, std::string* problem);
std::string FaultHelp();   // one line per fault: its name and what it does
std::string FaultNames();  // "none, silent, ..."

// --fault-rate without --fault draws from the faults that change a reply;
// the timing and line faults need a time only the user can choose.
constexpr Fault kReplyFaults[] = {Fault::Silent, Fault::Nak,     Fault::Status2, Fault::Split, Fault::Garbage,
                                  Fault::Short,  Fault::Long,    Fault::NonHex,  Fault::Trailing};

// Which requests get a fault. Requests are counted from 1 in the order
// they arrive, whichever station they are for.
struct FaultSelection {
  bool given = false;   // --fault: this fault; else a random reply fault
  FaultSpec fault;
  std::set<long> at;    // --fault-at
  long every = 0;       // --fault-every: requests every, 2 x every, ...
  double rate = 0;      // --fault-rate: a random share
  int station = -1;     // --fault-station: only requests for it
  unsigned seed = 1;
};

class FaultPicker {
 public:
  explicit FaultPicker(const FaultSelection& selection) : s_(selection), random_(selection.seed) {}
  FaultSpec For(long request, int station);

 private:
  FaultSelection s_;
  std::mt19937 random_;
};

}  // namespace qvsim
