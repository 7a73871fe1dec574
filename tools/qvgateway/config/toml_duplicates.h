// A key or a table given twice in a TOML file, said in the file's own
// terms. The parser refuses it with its own words and the line of the
// second one; a user needs the key as the gateway names it elsewhere
// ("station[1].poll_ms"), and where the first one is.
#pragma once

#include <string>

namespace qvgateway {

// "FILE:9: station[1].poll_ms: is given twice (first at line 7): keep one",
// from the parser's `message` about line `line` of `text` (the file);
// empty when `message` is not about something given twice.
std::string DuplicateProblem(const std::string& file, const std::string& text, int line, const std::string& message);

}  // namespace qvgateway
