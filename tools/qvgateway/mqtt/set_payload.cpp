#include "tools/qvgateway/mqtt/set_payload.h"

#include <nlohmann/json.hpp>

namespace qvgateway {
namespace {

using Json = nlohmann::json;

const char* const kShape = "a write is {\"value\": 42, \"id\": \"any text\"} or a bare number";

// Text from the network may be any bytes: shown, never thrown on.
std::string Dump(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

// The id as JSON for the result, or false with why.
bool TakeId(const Json& id, std::string* idJson, std::string* why) {
  if (id.is_null()) return true;
  if (id.is_number()) {
    *idJson = Dump(id);
    return true;
  }
  if (id.is_string() && id.get_ref<const std::string&>().size() <= kMaxIdBytes) {
    *idJson = Dump(id);
    return true;
  }
  *why = id.is_string() ? "the id is " + std::to_string(id.get_ref<const std::string&>().size()) +
                              " bytes long: an id is a string of at most " + std::to_string(kMaxIdBytes) +
                              " bytes, or a number"
                        : std::string("the id is ") + id.type_name() + ": an id is a string of at most " +
                              std::to_string(kMaxIdBytes) + " bytes, or a number";
  return false;
}

}  // namespace

bool ParseSetEnvelope(const std::string& payload, const char* shape, Json* value, std::string* idJson,
                      std::string* why) {
  if (payload.size() > kMaxSetPayloadBytes) {
    *why = "the payload is " + std::to_string(payload.size()) + " bytes, more than " +
           std::to_string(kMaxSetPayloadBytes) + ": " + shape;
    return false;
  }
  if (JsonNestingDepth(payload, kMaxSetPayloadDepth) > kMaxSetPayloadDepth) {
    *why = "the payload is nested deeper than " + std::to_string(kMaxSetPayloadDepth) + " levels: " + shape;
    return false;
  }
  std::string duplicate;
  const Json json = ParseNamingDuplicate(payload, &duplicate);
  if (json.is_discarded()) {
    *why = std::string("not JSON: ") + shape;
    return false;
  }
  *value = json;
  if (json.is_object()) {
    if (duplicate != "id" && json.contains("id") && !TakeId(json["id"], idJson, why)) return false;
    if (!duplicate.empty()) {
      *why = "the key '" + Quoted(duplicate) + "' is given twice: a write names each key once";
      return false;
    }
    for (const auto& item : json.items()) {
      if (item.key() != "value" && item.key() != "id") {
        *why = "unknown key '" + Quoted(item.key()) + "': a write has only value and id";
        return false;
      }
    }
    if (!json.contains("value")) {
      *why = "no value";
      return false;
    }
    *value = json["value"];
  }
  return true;
}

bool ParseSetPayload(const std::string& payload, Area area, SetRequest* request, std::string* why) {
  Json value;
  if (!ParseSetEnvelope(payload, kShape, &value, &request->idJson, why)) return false;
  if (!value.is_number_integer()) {
    *why = "the value is not a whole number";
    return false;
  }
  const long long limit = area == Area::D ? 65535 : 255;
  if (value.is_number_unsigned() ? value.get<unsigned long long>() > static_cast<unsigned long long>(limit)
                                 : value.get<long long>() < 0 || value.get<long long>() > limit) {
    *why = "the value " + Dump(value) + " is outside 0.." + std::to_string(limit);
    return false;
  }
  request->value = value.get<long long>();
  return true;
}

std::string ResultPayload(const std::string& idJson, bool ok, int code, const std::string& meaning) {
  Json json = Json::object();
  json["id"] = Json::parse(idJson, nullptr, false);
  if (json["id"].is_discarded()) json["id"] = Json();
  json["ok"] = ok;
  if (!ok) {
    json["code"] = code >= 0 ? Json(code) : Json();
    json["meaning"] = meaning;
  }
  return Dump(json);
}

}  // namespace qvgateway
