#include "tools/qvgateway/service/gateway_log.h"

#include <unistd.h>

#include "tools/host/timestamps.h"

namespace qvgateway {

void LogEvent(const std::string& text) {
  // One write per line, so that lines from several threads never mix.
  const std::string line = qvhost::Iso8601(qvhost::NowUnixMs(), false) + " qvgateway: " + text + "\n";
  ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

}  // namespace qvgateway
