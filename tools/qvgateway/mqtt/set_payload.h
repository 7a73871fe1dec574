// A write request as it arrives on a .../set topic, and the result the
// gateway publishes for it. Anyone who may publish on the broker can send
// anything here, so a payload is bounded (size, nesting) before the JSON
// parser sees it, and whatever is echoed back is bounded too. Pure: no
// broker, no line; needs only the JSON library, so that a fuzzer can
// drive it alone.
#pragma once

#include <stddef.h>

#include <nlohmann/json_fwd.hpp>
#include <string>

#include "tools/qvgateway/line/register_rules.h"
#include "tools/qvgateway/mqtt/bounded_json.h"

namespace qvgateway {

// A write is {"value": 42, "id": "any text"}: a few dozen bytes at depth 1.
constexpr size_t kMaxSetPayloadBytes = 4096;
constexpr int kMaxSetPayloadDepth = 8;
// The id is echoed in the result; a longer one is refused, not cut.
constexpr size_t kMaxIdBytes = 128;

// {"value": 42, "id": "any text"}, or a bare number. `idJson` is the id
// as JSON ("null" when none, or when it was refused), for the result even
// of a refused request.
struct SetRequest {
  long long value = 0;
  std::string idJson = "null";
};

// False with why when the payload is not a write of one whole number in
// the register's range (0..65535 for a D register, 0..255 for an M group),
// or is larger, deeper, has a key twice, or has an id other than a string
// of at most kMaxIdBytes bytes or a number.
bool ParseSetPayload(const std::string& payload, Area area, SetRequest* request, std::string* why);

// What every write payload shares, a register's or a named tag's: the
// bounds above, no key twice, only "value" and "id", the id taken into
// `idJson`; `value` is the value as sent, for the caller to judge. False
// with why; `shape` says what a write looks like.
bool ParseSetEnvelope(const std::string& payload, const char* shape, nlohmann::json* value, std::string* idJson,
                      std::string* why);

// {"id":"x","ok":true} or {"id":"x","ok":false,"code":5,"meaning":"receive time-out"};
// `code` -1 gives "code":null.
std::string ResultPayload(const std::string& idJson, bool ok, int code = -1, const std::string& meaning = "");

}  // namespace qvgateway
