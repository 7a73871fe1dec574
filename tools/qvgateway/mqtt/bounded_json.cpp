#include "tools/qvgateway/mqtt/bounded_json.h"

#include <set>
#include <vector>

#include <nlohmann/json.hpp>

namespace qvgateway {

using Json = nlohmann::json;

std::string Quoted(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  // Back to the first byte of a UTF-8 character.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end) + "...";
}

int JsonNestingDepth(const std::string& text, int limit) {
  int depth = 0, deepest = 0;
  bool inString = false, escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest) deepest = depth;
      if (deepest > limit) break;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

Json ParseNamingDuplicate(const std::string& text, std::string* duplicate) {
  std::vector<std::set<std::string>> keys;
  auto callback = [&keys, duplicate](int, Json::parse_event_t event, Json& parsed) {
    if (event == Json::parse_event_t::object_start) {
      keys.emplace_back();
    } else if (event == Json::parse_event_t::object_end) {
      if (!keys.empty()) keys.pop_back();
    } else if (event == Json::parse_event_t::key && !keys.empty() && parsed.is_string()) {
      const std::string& key = parsed.get_ref<const std::string&>();
      if (!keys.back().insert(key).second && duplicate->empty()) *duplicate = key;
    }
    return true;
  };
  return Json::parse(text, callback, false);
}

bool ParseBoundedJson(const std::string& text, size_t maxBytes, int maxDepth, const std::string& shape, Json* json,
                      std::string* why) {
  if (text.size() > maxBytes) {
    *why = "the payload is " + std::to_string(text.size()) + " bytes, more than " + std::to_string(maxBytes) + ": " +
           shape;
    return false;
  }
  if (JsonNestingDepth(text, maxDepth) > maxDepth) {
    *why = "the payload is nested deeper than " + std::to_string(maxDepth) + " levels: " + shape;
    return false;
  }
  std::string duplicate;
  *json = ParseNamingDuplicate(text, &duplicate);
  if (json->is_discarded()) {
    *why = "not JSON: " + shape;
    return false;
  }
  if (!duplicate.empty()) {
    *why = "the key '" + Quoted(duplicate) + "' is given twice: " + shape;
    return false;
  }
  return true;
}

}  // namespace qvgateway
