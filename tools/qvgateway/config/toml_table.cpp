#include "tools/qvgateway/config/toml_table.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <set>

#include <toml.hpp>

#include "tools/qvgateway/config/toml_duplicates.h"

namespace qvgateway {

struct TomlProblems {
  std::string file;
  std::vector<std::pair<int, std::string>> list;  // line, message
  void Add(const KeyPlace& place, const std::string& why) {
    list.emplace_back(place.line, Problem(file, place, why));
  }
};

struct TomlNode {
  toml::value value;
  bool present = false;
};

namespace {

int LineOf(const toml::value& v) { return static_cast<int>(v.location().line()); }

std::string TypeName(const toml::value& v) {
  switch (v.type()) {
    case toml::value_t::boolean: return "a boolean";
    case toml::value_t::integer: return "an integer";
    case toml::value_t::floating: return "a float";
    case toml::value_t::string: return "a string";
    case toml::value_t::array: return "an array";
    case toml::value_t::table: return "a table";
    default: return "a date or time";
  }
}

// toml11's message is several lines with a picture of the place; the
// first line says what is wrong.
std::string FirstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  const std::string marker = "[error] ";
  if (line.rfind(marker, 0) == 0) line = line.substr(marker.size());
  return line;
}

// The line (from 1) of the first byte that is not well-formed UTF-8, or 0.
// A TOML file is UTF-8; the parser misreads its own buffers on some
// malformed sequences, so they are refused before it sees them.
int FirstBadUtf8Line(const std::string& text) {
  int line = 1;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      line += c == '\n';
      ++i;
      continue;
    }
    const int more = c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : -1;
    if (more < 0 || i + more >= text.size()) return line;
    uint32_t code = c & (0x3F >> more);
    for (int k = 1; k <= more; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return line;
      code = code << 6 | (next & 0x3F);
    }
    const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (code < least[more] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return line;
    i += more + 1;
  }
  return 0;
}

}  // namespace

TomlTable::TomlTable(std::shared_ptr<TomlProblems> problems, std::shared_ptr<TomlNode> node, std::string name)
    : problems_(std::move(problems)), node_(std::move(node)), name_(std::move(name)) {}

bool TomlTable::Has(const std::string& key) const {
  return node_ && node_->present && node_->value.is_table() && node_->value.as_table().count(key) != 0;
}

KeyPlace TomlTable::Place(const std::string& key) const {
  KeyPlace place;
  place.key = key.empty() ? name_ : (name_.empty() ? key : name_ + "." + key);
  if (node_ && node_->present) {
    place.line = Has(key) ? LineOf(node_->value.as_table().at(key)) : LineOf(node_->value);
  } else {
    place.line = 1;
  }
  return place;
}

void TomlTable::Refuse(const std::string& key, const std::string& why) { problems_->Add(Place(key), why); }

void TomlTable::Allow(std::initializer_list<const char*> keys) {
  if (!(node_ && node_->present && node_->value.is_table())) return;
  const std::set<std::string> known(keys.begin(), keys.end());
  for (const auto& [key, value] : node_->value.as_table()) {
    if (known.count(key) == 0) {
      std::string list;
      for (const auto& k : known) list += (list.empty() ? "" : ", ") + k;
      Refuse(key, "unknown key; " + (name_.empty() ? std::string("the file") : "[" + name_ + "]") +
                      " takes " + list);
    }
  }
}

bool TomlTable::Int(const std::string& key, int low, int high, int* value, bool required) {
  if (!Has(key)) {
    if (required) Refuse(key, "is required");
    return false;
  }
  const toml::value& v = node_->value.as_table().at(key);
  if (!v.is_integer()) {
    Refuse(key, "must be an integer, not " + TypeName(v));
    return false;
  }
  const auto n = v.as_integer();
  if (n < low || n > high) {
    Refuse(key, std::to_string(n) + " is outside " + std::to_string(low) + ".." + std::to_string(high));
    return false;
  }
  *value = static_cast<int>(n);
  return true;
}

bool TomlTable::String(const std::string& key, std::string* value, bool required) {
  if (!Has(key)) {
    if (required) Refuse(key, "is required");
    return false;
  }
  const toml::value& v = node_->value.as_table().at(key);
  if (!v.is_string()) {
    Refuse(key, "must be a string, not " + TypeName(v));
    return false;
  }
  *value = v.as_string().str;
  return true;
}

bool TomlTable::Bool(const std::string& key, bool* value) {
  if (!Has(key)) return false;
  const toml::value& v = node_->value.as_table().at(key);
  if (!v.is_boolean()) {
    Refuse(key, "must be true or false, not " + TypeName(v));
    return false;
  }
  *value = v.as_boolean();
  return true;
}

bool TomlTable::Number(const std::string& key, double* value) {
  if (!Has(key)) return false;
  const toml::value& v = node_->value.as_table().at(key);
  if (!v.is_integer() && !v.is_floating()) {
    Refuse(key, "must be a number, not " + TypeName(v));
    return false;
  }
  const double d = v.is_integer() ? static_cast<double>(v.as_integer()) : v.as_floating();
  if (!std::isfinite(d)) {
    Refuse(key, "must be a finite number");
    return false;
  }
  *value = d;
  return true;
}

bool TomlTable::Strings(const std::string& key, std::vector<std::string>* values) {
  if (!Has(key)) return false;
  const toml::value& v = node_->value.as_table().at(key);
  if (!v.is_array()) {
    Refuse(key, "must be an array of strings, not " + TypeName(v));
    return false;
  }
  std::vector<std::string> result;
  for (const auto& item : v.as_array()) {
    if (!item.is_string()) {
      Refuse(key, "must be an array of strings; it holds " + TypeName(item));
      return false;
    }
    result.push_back(item.as_string().str);
  }
  *values = result;
  return true;
}

TomlTable TomlTable::Table(const std::string& key) {
  auto node = std::make_shared<TomlNode>();
  const std::string name = name_.empty() ? key : name_ + "." + key;
  if (Has(key)) {
    const toml::value& v = node_->value.as_table().at(key);
    if (v.is_table()) {
      node->value = v;
      node->present = true;
    } else {
      Refuse(key, "must be a table ([" + name + "]), not " + TypeName(v));
    }
  }
  return TomlTable(problems_, node, name);
}

std::vector<TomlTable> TomlTable::Tables(const std::string& key) {
  std::vector<TomlTable> tables;
  if (!Has(key)) return tables;
  const toml::value& v = node_->value.as_table().at(key);
  if (!v.is_array()) {
    Refuse(key, "must be an array of tables ([[" + key + "]]), not " + TypeName(v));
    return tables;
  }
  for (size_t i = 0; i < v.as_array().size(); ++i) {
    const toml::value& item = v.as_array()[i];
    const std::string name = key + "[" + std::to_string(i + 1) + "]";
    if (!item.is_table()) {
      problems_->Add({name, LineOf(item)}, "must be a table, not " + TypeName(item));
      continue;
    }
    auto node = std::make_shared<TomlNode>();
    node->value = item;
    node->present = true;
    tables.emplace_back(problems_, node, name);
  }
  return tables;
}

TomlDocument::TomlDocument() : problems_(std::make_shared<TomlProblems>()), root_(std::make_shared<TomlNode>()) {}

bool TomlDocument::Parse(const std::string& path, std::vector<std::string>* problems) {
  problems_->file = path;
  std::string text;
  if (FILE* file = fopen(path.c_str(), "rb")) {
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
    fclose(file);
  } else {
    problems->push_back(path + ": cannot be read: " + strerror(errno));
    return false;
  }
  if (const int bad = FirstBadUtf8Line(text)) {
    problems->push_back(path + ":" + std::to_string(bad) + ": not UTF-8 text: save the file as UTF-8");
    return false;
  }
  try {
    root_->value = toml::parse(path);
    root_->present = true;
    return true;
  } catch (const toml::exception& e) {
    const int line = static_cast<int>(e.location().line());
    const std::string duplicate = DuplicateProblem(path, text, line, FirstLine(e.what()));
    problems->push_back(!duplicate.empty() ? duplicate
                                           : path + ":" + std::to_string(line) + ": " + FirstLine(e.what()));
  } catch (const std::exception& e) {
    problems->push_back(path + ": " + FirstLine(e.what()));
  }
  return false;
}

TomlTable TomlDocument::Root() { return TomlTable(problems_, root_, ""); }

void TomlDocument::CollectProblems(std::vector<std::string>* problems) {
  std::stable_sort(problems_->list.begin(), problems_->list.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> sorted;
  for (const auto& [line, text] : problems_->list) sorted.push_back(text);
  problems->insert(problems->begin(), sorted.begin(), sorted.end());
}

}  // namespace qvgateway
