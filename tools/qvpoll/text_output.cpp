#include "tools/qvpoll/text_output.h"

#include <errno.h>
#include <string.h>

namespace qvpoll {

void Complain(const std::string& utf8) { qvhost::WriteText(qvhost::Stream::Err, "qvpoll: " + utf8 + "\n"); }

bool RowOutput::Open(const std::string& path, bool append, std::string* error) {
  if (path.empty()) return true;
  path_ = path;
  errno = 0;
  file_ = fopen(path.c_str(), append ? "ab" : "wb");
  if (file_ == nullptr) {
    *error = "--output " + path + ": cannot open it for writing: " + (errno != 0 ? strerror(errno) : "unknown error");
    return false;
  }
  // The file offset type, not long: a file appended to may be past 2 GiB.
  fseeko(file_, 0, SEEK_END);
  empty_ = ftello(file_) == 0;
  if (!empty_) {
    FILE* read = fopen(path.c_str(), "rb");
    char line[256] = {};
    if (read != nullptr && fgets(line, sizeof line, read) != nullptr) firstLine_ = line;
    if (read != nullptr) fclose(read);
  }
  return true;
}

void RowOutput::Line(const std::string& utf8) {
  if (!failure_.empty()) return;
  empty_ = false;
  if (file_ == nullptr) {
    if (!qvhost::WriteText(qvhost::Stream::Out, utf8 + "\n")) failure_ = "standard output: " + qvhost::LastWriteError();
    return;
  }
  errno = 0;
  const bool written = fputs(utf8.c_str(), file_) >= 0 && fputc('\n', file_) != EOF;
  if (fflush(file_) != 0 || !written) {
    failure_ = "--output " + path_ + ": " + (errno != 0 ? strerror(errno) : "cannot be written");
  }
}

RowOutput::~RowOutput() {
  if (file_ != nullptr) fclose(file_);
}

}  // namespace qvpoll
