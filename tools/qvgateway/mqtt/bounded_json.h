// JSON from anyone who may publish on the broker: its size and nesting are
// judged before a parser sees it (the parser, and the destructor of what
// it built, recurse one stack frame a level), and a key given twice is
// named rather than left to the parser to pick one of the two.
#pragma once

#include <stddef.h>

#include <nlohmann/json_fwd.hpp>
#include <string>

namespace qvgateway {

// Text from a client (a topic level, a key) as a result may quote it: at
// most `limit` bytes, cut on a character's boundary, with "..." when cut.
std::string Quoted(const std::string& text, size_t limit = 64);

// The deepest nesting of arrays and objects, counted without recursion and
// given up as soon as it passes `limit`.
int JsonNestingDepth(const std::string& text, int limit);

// Parses `text` (discarded when it is not JSON), naming in `duplicate`
// the first key an object holds twice.
nlohmann::json ParseNamingDuplicate(const std::string& text, std::string* duplicate);

// The two above, for a message that must be small and flat: false with why (its
// size, its depth, not JSON, a key twice); `shape` says what the message
// should look like and ends each reason.
bool ParseBoundedJson(const std::string& text, size_t maxBytes, int maxDepth, const std::string& shape,
                      nlohmann::json* json, std::string* why);

}  // namespace qvgateway
