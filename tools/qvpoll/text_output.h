// Text out of qvpoll, always UTF-8 inside. Files and pipes get UTF-8
// bytes; a Windows console gets UTF-16 through WriteConsoleW, since its
// code page would garble the driver's Chinese text.
#pragma once

#include <stdio.h>

#include <string>

namespace qvpoll {

enum class Stream { Out, Err };

// Writes and flushes; a text_output_* file knows the console.
void WriteText(Stream stream, const std::string& utf8);

// A terminal or console, where progress may be shown and rewritten.
bool IsTerminal(Stream stream);

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
