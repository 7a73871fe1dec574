#include "tools/qvgateway/mqtt/mqtt_write_result.h"

#include "tools/qvgateway/mqtt/mqtt_payload.h"

namespace qvgateway {

std::string WriteResultPayload(const std::string& idJson, const LineResult& result) {
  if (result.ok()) return ResultPayload(idJson, true);
  return ResultPayload(idJson, false, result.driverCode, LineMeaning(result));
}

}  // namespace qvgateway
