#include "tools/qvgateway/service/gateway_log.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/host/timestamps.h"

namespace qvgateway {

// Text in a line may quote what a client sent (a topic, a tag's name):
// a control character in it is shown as \xNN, so that one event stays one
// line and a client cannot write a line of its own (or a journal
// severity) into the log.
namespace {

std::string OneLine(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string LogLine(Severity severity, const std::string& text, bool journal, int64_t unixMs) {
  if (journal) return "<" + std::to_string(static_cast<int>(severity)) + ">" + OneLine(text);
  return qvhost::Iso8601(unixMs, false) + " qvgateway: " + OneLine(text);
}

bool StderrIsJournal() {
  const char* stream = getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long device = 0, inode = 0;
  char extra = 0;
  if (sscanf(stream, "%llu:%llu%c", &device, &inode, &extra) != 2) return false;
  struct stat st {};
  if (fstat(STDERR_FILENO, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == device && static_cast<unsigned long long>(st.st_ino) == inode;
}

void LogEvent(Severity severity, const std::string& text) {
  // Decided once: standard error does not change under a running gateway.
  static const bool journal = StderrIsJournal();
  // One write per line, so that lines from several threads never mix.
  const std::string line = LogLine(severity, text, journal, qvhost::NowUnixMs()) + "\n";
  ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

}  // namespace qvgateway
