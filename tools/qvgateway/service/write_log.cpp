#include "tools/qvgateway/service/write_log.h"

#include "tools/host/driver_errors.h"

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

std::string TagWriteLine(const std::string& source, int station, const std::string& tag, const std::string& value,
                         const std::string& result) {
  return "write from " + source + ": station " + std::to_string(station) + " tag " + tag + " = " + value + ": " +
         result;
}

std::string WriteResult(const LineResult& result) {
  if (result.ok()) return "done";
  if (result.reason == LineReason::ClientGone) {
    return "result unknown: the client went away while the write waited (dropped unless already on the line)";
  }
  const std::string why = LineMeaning(result);
  // Only a silent or refusing controller saw the write; every other reason
  // kept it from the line.
  if (result.reason == LineReason::Silent || result.reason == LineReason::Refused) {
    return std::string(result.partial ? "partly done, then failed: " : "failed: ") + why +
           (result.driverCode >= 0 ? " (driver code " + std::to_string(result.driverCode) + ")" : "");
  }
  return (result.partial ? "partly done, then not sent: " : "not sent: ") + why;
}

}  // namespace qvgateway
