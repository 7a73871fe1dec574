#include "tools/qvgateway/line/line_result.h"

#include <stdio.h>

#include "tools/host/driver_errors.h"

namespace qvgateway {
namespace {

std::string Seconds(int64_t ms) {
  char text[32];
  snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
  return text;
}

}  // namespace

std::string LineMeaning(const LineResult& result) {
  std::string meaning;
  switch (result.reason) {
    case LineReason::None:
      return "done";
    case LineReason::Silent:
      meaning = result.driverCode >= 0 ? qvhost::Meaning(result.driverCode) : "the station did not answer";
      break;
    case LineReason::Refused:
      meaning = result.driverCode >= 0 ? qvhost::Meaning(result.driverCode)
                                       : "the controller refused the request or answered garbage";
      break;
    case LineReason::Demoted:
      meaning = "station demoted: ";
      meaning += result.driverCode >= 0 ? qvhost::Meaning(result.driverCode) : "time-outs in a row";
      if (result.retryInMs >= 0) meaning += "; next try in " + Seconds(result.retryInMs);
      break;
    case LineReason::PortLost:
      meaning = "port lost";
      break;
    case LineReason::QueueFull:
      meaning = "the line's queue is full";
      break;
    case LineReason::Deadline:
      meaning = "waited past request_deadline_ms";
      break;
    case LineReason::Stopping:
      meaning = "the gateway is stopping";
      break;
    case LineReason::ClientGone:
      meaning = "the client went away";
      break;
  }
  return result.partial ? "only part of the write was done: " + meaning : meaning;
}

const char* LineReasonName(LineReason reason) {
  switch (reason) {
    case LineReason::None:
      return "none";
    case LineReason::Silent:
      return "silent";
    case LineReason::Refused:
      return "refused";
    case LineReason::Demoted:
      return "demoted";
    case LineReason::PortLost:
      return "port_lost";
    case LineReason::QueueFull:
      return "queue_full";
    case LineReason::Deadline:
      return "deadline";
    case LineReason::Stopping:
      return "stopping";
    case LineReason::ClientGone:
      return "client_gone";
  }
  return "none";
}

}  // namespace qvgateway
