#include "tools/qvgateway/service/write_log.h"

#include "tools/host/driver_errors.h"
#include "tools/qvgateway/modbus/modbus_dispatch.h"

namespace qvgateway {
namespace {

std::string Line(const std::string& source, int station, const std::string& area, int first, size_t count,
                 const std::string& values, const std::string& result) {
  const std::string range = area + std::to_string(first) +
                            (count > 1 ? ".." + area + std::to_string(first + static_cast<int>(count) - 1) : "");
  return "write from " + source + ": station " + std::to_string(station) + " " + range + " = " + values + ": " +
         result;
}

}  // namespace

std::string RegisterWriteLine(const std::string& source, int station, int first, const std::vector<uint16_t>& values,
                              const std::string& result) {
  std::string text;
  for (size_t i = 0; i < values.size(); ++i) text += (i == 0 ? "" : ", ") + std::to_string(values[i]);
  return Line(source, station, "D", first, values.size(), text, result);
}

std::string CoilWriteLine(const std::string& source, int station, int firstCoil, const std::vector<bool>& bits,
                          const std::string& result) {
  std::string text;
  for (size_t i = 0; i < bits.size(); ++i) text += std::string(i == 0 ? "" : ", ") + (bits[i] ? "1" : "0");
  return Line(source, station, "M", firstCoil, bits.size(), text, result);
}

std::string WriteResult(uint8_t exception, int driverCode) {
  if (exception == kOk) return "done";
  if (driverCode >= 0) return "failed: " + std::string(qvhost::Meaning(driverCode)) + " (driver code " +
                              std::to_string(driverCode) + ")";
  switch (exception) {
    case kTargetNoResponse:
      return "not sent: the station is silent or demoted, or the line is lost";
    case kBusy:
      return "not sent: the line's queue is full, or the write waited past request_deadline_ms";
    case kNoReply:
      return "result unknown: the client went away while the write waited (dropped unless already on the line)";
    default:
      return "failed (Modbus exception " + std::to_string(exception) + ")";
  }
}

}  // namespace qvgateway
