// Driver settings that did not take, said to the user once each: a value
// the driver did not understand keeps its default without a word but for
// its trace's first line, and a trace file that cannot be opened turns the
// trace off silently.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "tools/host/object_settings.h"

namespace qvhost {

class SettingWarnings {
 public:
  // For trace lines of the tool's objects: a message for each setting they
  // name as not understood, and for each refusal of the port's RS-485
  // switching, that was not said before.
  std::vector<std::string> Check(const std::vector<std::string>& lines);

 private:
  std::set<std::string> said_;
};

// "QUORVALEND_TRACE=/no/such/t.txt: the trace file cannot be opened (No
// such file or directory); no trace is written there"
std::string TraceNotOpened(const UserTrace& user, const std::string& problem);

}  // namespace qvhost
