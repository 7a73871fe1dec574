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
  // The first line of a file appended to ("" for none).
  const std::string& FirstLine() const { return firstLine_; }
  bool ToStandardOutput() const { return file_ == nullptr; }
  void Line(const std::string& utf8);
  // Why a line could not be written (the system's message); empty while
  // every line was. Lines after a failure are not attempted.
  const std::string& Failure() const { return failure_; }

 private:
  FILE* file_ = nullptr;
  std::string path_;
  bool empty_ = true;
  std::string firstLine_;
  std::string failure_;
};

}  // namespace qvpoll
