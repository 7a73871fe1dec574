// Refused connections in the log without flooding it: the first refusal
// of a quiet spell is logged whole; those after it are counted, and once a
// window has passed one line says how many there were and from where
// (none when there were none). A scanner or a client retrying in a loop
// then costs a line per window, not a line per attempt.
#pragma once

#include <stdint.h>

#include <functional>
#include <set>
#include <string>

namespace qvgateway {

class RefusalLog {
 public:
  using Sink = std::function<void(const std::string&)>;
  explicit RefusalLog(Sink sink, int64_t windowMs = 10000) : sink_(std::move(sink)), windowMs_(windowMs) {}

  // `address`: the client's, without its port; `line`: what the first
  // refusal of a spell logs.
  void Refused(const std::string& address, const std::string& line, int64_t nowMs);
  // Called now and then: ends a window that has passed.
  void Tick(int64_t nowMs);
  // When the listener closes: what was counted and not yet said.
  void Flush();

 private:
  Sink sink_;
  int64_t windowMs_;
  bool open_ = false;  // a refusal was logged whole and its window runs
  int64_t windowStartMs_ = 0;
  int counted_ = 0;
  std::set<std::string> addresses_;

  void Say(const std::string& when);
};

}  // namespace qvgateway
