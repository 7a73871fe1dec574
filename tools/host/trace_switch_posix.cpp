#include <stdlib.h>

#include "tools/host/trace_switch.h"

namespace qvpoll {
namespace {

constexpr char kVariable[] = "QUORVALEND_TRACE";

}  // namespace

bool TraceSwitch::Begin(std::string*) {
  const char* before = getenv(kVariable);
  hadValue_ = before != nullptr;
  if (hadValue_) value_ = before;
  // "debug" writes each line to standard error at once.
  setenv(kVariable, "debug", 1);
  on_ = true;
  restored_ = false;
  return true;
}

void TraceSwitch::ObjectsMade() {
  if (restored_) return;
  restored_ = true;
  // A simulator started later inherits the environment it had.
  if (hadValue_) {
    setenv(kVariable, value_.c_str(), 1);
  } else {
    unsetenv(kVariable);
  }
}

void TraceSwitch::Relay() {}

TraceSwitch::~TraceSwitch() { ObjectsMade(); }

}  // namespace qvpoll
