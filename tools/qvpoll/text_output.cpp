#include "tools/qvpoll/text_output.h"

namespace qvpoll {

void Complain(const std::string& utf8) { WriteText(Stream::Err, "qvpoll: " + utf8 + "\n"); }

bool RowOutput::Open(const std::string& path, bool append, std::string* error) {
  if (path.empty()) return true;
  file_ = fopen(path.c_str(), append ? "ab" : "wb");
  if (file_ == nullptr) {
    *error = "--output " + path + ": cannot open it for writing";
    return false;
  }
  // The file offset type, not long: a file appended to may be past 2 GiB.
  fseeko(file_, 0, SEEK_END);
  empty_ = ftello(file_) == 0;
  return true;
}

void RowOutput::Line(const std::string& utf8) {
  empty_ = false;
  if (file_ == nullptr) {
    WriteText(Stream::Out, utf8 + "\n");
    return;
  }
  fputs(utf8.c_str(), file_);
  fputc('\n', file_);
  fflush(file_);
}

RowOutput::~RowOutput() {
  if (file_ != nullptr) fclose(file_);
}

}  // namespace qvpoll
