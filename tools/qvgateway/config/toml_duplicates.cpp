#include "tools/qvgateway/config/toml_duplicates.h"

#include <map>
#include <sstream>
#include <vector>

namespace qvgateway {
namespace {

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") + 1 - first);
}

// The name a header line opens ("station" of "[[station]]  # x"), and
// whether it is an array of tables; empty when the line is no header.
std::string HeaderName(const std::string& line, bool* array) {
  const std::string text = Trimmed(line);
  if (text.empty() || text[0] != '[') return "";
  *array = text.compare(0, 2, "[[") == 0;
  const size_t open = *array ? 2 : 1;
  const size_t close = text.find(*array ? "]]" : "]", open);
  if (close == std::string::npos) return "";
  return Trimmed(text.substr(open, close - open));
}

// Whether `line` sets `key`: key = ..., "key" = ... or 'key' = ...
bool SetsKey(const std::string& line, const std::string& key) {
  const std::string text = Trimmed(line);
  for (const std::string& spelled : {key, '"' + key + '"', '\'' + key + '\''}) {
    if (text.compare(0, spelled.size(), spelled) == 0 && Trimmed(text.substr(spelled.size())).rfind('=', 0) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string DuplicateProblem(const std::string& file, const std::string& text, int line, const std::string& message) {
  const size_t open = message.find("(\""), close = message.find("\")");
  if (message.find("already exists") == std::string::npos || open == std::string::npos || close == std::string::npos ||
      close < open) {
    return "";
  }
  const std::string name = message.substr(open + 2, close - open - 2);
  const bool table = message.find("table (") != std::string::npos;
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  // The table the second one stands in, as the gateway names it.
  std::string where;
  int tableLine = 0, firstLine = 0;
  std::map<std::string, int> arrays;
  for (int i = 1; i < line && i <= static_cast<int>(lines.size()); ++i) {
    bool array = false;
    const std::string header = HeaderName(lines[i - 1], &array);
    if (header.empty()) continue;
    if (table && !array && header == name && firstLine == 0) firstLine = i;
    where = array ? header + "[" + std::to_string(++arrays[header]) + "]" : header;
    tableLine = i;
  }
  const std::string at = file + ":" + std::to_string(line) + ": ";
  if (table) {
    return at + "[" + name + "]: is given twice" +
           (firstLine > 0 ? " (first at line " + std::to_string(firstLine) + ")" : std::string()) +
           ": put its keys in one table";
  }
  for (int i = tableLine + 1; i < line && i <= static_cast<int>(lines.size()); ++i) {
    if (SetsKey(lines[i - 1], name)) {
      firstLine = i;
      break;
    }
  }
  return at + (where.empty() ? name : where + "." + name) + ": is given twice" +
         (firstLine > 0 ? " (first at line " + std::to_string(firstLine) + ")" : std::string()) + ": keep one";
}

}  // namespace qvgateway
