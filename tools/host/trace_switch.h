// --trace: the driver's own trace, on standard error, for this run only.
// The driver reads its settings when an object is made, so the setting is
// in place just for that moment.
#pragma once

#include <stdint.h>

#include <string>

namespace qvpoll {

class TraceSwitch {
 public:
  TraceSwitch() = default;
  ~TraceSwitch();
  TraceSwitch(const TraceSwitch&) = delete;
  TraceSwitch& operator=(const TraceSwitch&) = delete;

  // Before the driver objects are made. False with a message.
  bool Begin(std::string* error);
  // After they are made: the machine's setting as it was before.
  void ObjectsMade();
  // Copies trace lines that arrived since the last call to standard error
  // (Windows, where the trace goes to a file of this run's; Linux writes
  // it there itself).
  void Relay();

 private:
  bool on_ = false;
  bool restored_ = true;
  std::string file_;
  uint64_t copied_ = 0;
  // The machine's setting before the run.
  bool hadValue_ = false;
  bool madeKey_ = false;
  unsigned long valueType_ = 0;
  std::string value_;
};

}  // namespace qvpoll
