// What qvpoll writes: its complaints, and the rows to their place.
#pragma once

#include <stdio.h>

#include <string>

#include "tools/host/console_text.h"

namespace qvpoll {

// "qvpoll: message" on standard error.
void Complain(const std::string& utf8);

// Where the rows go: standard output, or a file (--output, --append).
class RowOutput {
 public:
  RowOutput() = default;
  ~RowOutput();
  RowOutput(const RowOutput&) = delete;
  RowOutput& operator=(const RowOutput&) = delete;

  // `path` empty: standard output. False with a message.
  bool Open(const std::string& path, bool append, std::string* error);
  // Nothing in it yet, so it takes a header.
  bool Empty() const { return empty_; }
  bool ToStandardOutput() const { return file_ == nullptr; }
  void Line(const std::string& utf8);

 private:
  FILE* file_ = nullptr;
  bool empty_ = true;
};

}  // namespace qvpoll
