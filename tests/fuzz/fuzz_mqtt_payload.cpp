// The gateway's MQTT write payload, as anyone who may publish on the broker
// could send it: the first byte chooses the register's area, the rest is
// the payload. A write taken is one whole number in the area's range; a
// refusal always says why; the result built from either is JSON whose id is
// the one the payload sent, or null, and small whatever the payload was.
#include <stdint.h>

#include <nlohmann/json.hpp>
#include <string>

#include "tools/qvgateway/mqtt/set_payload.h"

#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qvgateway;
  using Json = nlohmann::json;
  if (size < 1) return 0;
  const Area area = data[0] & 1 ? Area::M : Area::D;
  const std::string payload(reinterpret_cast<const char*>(data + 1), size - 1);
  SetRequest request;
  std::string why;
  const bool ok = ParseSetPayload(payload, area, &request, &why);
  if (ok) {
    FUZZ_CHECK(why.empty());
    FUZZ_CHECK(request.value >= 0 && request.value <= (area == Area::D ? 65535 : 255));
  } else {
    FUZZ_CHECK(!why.empty() && why.size() <= 300);
  }
  const Json id = Json::parse(request.idJson, nullptr, false);
  FUZZ_CHECK(!id.is_discarded());
  FUZZ_CHECK(id.is_null() || id.is_number() || (id.is_string() && id.get<std::string>().size() <= kMaxIdBytes));
  const Json result = Json::parse(ResultPayload(request.idJson, ok, -1, why), nullptr, false);
  FUZZ_CHECK(result.is_object() && result["ok"] == ok && result["id"] == id);
  FUZZ_CHECK(payload.size() <= kMaxSetPayloadBytes || (!ok && id.is_null()));
  return 0;
}
