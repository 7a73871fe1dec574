// A TOML file read with toml11, seen as tables of checked keys: every
// refusal names the key as the user wrote it ("station[2].unit"), its line
// and why, and a key nobody reads is refused rather than ignored (a typo
// must not silently leave a default in force).
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "tools/qvgateway/config/config.h"

namespace qvgateway {

struct TomlProblems;
struct TomlNode;

class TomlTable {
 public:
  TomlTable() = default;
  TomlTable(std::shared_ptr<TomlProblems> problems, std::shared_ptr<TomlNode> node, std::string name);

  // The keys this table may hold; any other is refused.
  void Allow(std::initializer_list<const char*> keys);
  bool Has(const std::string& key) const;
  // "" for the table itself.
  KeyPlace Place(const std::string& key) const;
  void Refuse(const std::string& key, const std::string& why);

  // Each returns true when the key is present and valid; absent keys keep
  // the default, unless `required`.
  bool Int(const std::string& key, int low, int high, int* value, bool required = false);
  bool String(const std::string& key, std::string* value, bool required);
  bool Bool(const std::string& key, bool* value);
  // An integer or a float, finite.
  bool Number(const std::string& key, double* value);
  bool Strings(const std::string& key, std::vector<std::string>* values);

  TomlTable Table(const std::string& key);
  // An array of tables ([[station]]).
  std::vector<TomlTable> Tables(const std::string& key);

 private:
  std::shared_ptr<TomlProblems> problems_;
  std::shared_ptr<TomlNode> node_;
  std::string name_;
};

class TomlDocument {
 public:
  TomlDocument();
  // False with the parser's refusal when the file is not TOML.
  bool Parse(const std::string& path, std::vector<std::string>* problems);
  TomlTable Root();
  // The refusals gathered while reading, in the file's order.
  void CollectProblems(std::vector<std::string>* problems);

 private:
  std::shared_ptr<TomlProblems> problems_;
  std::shared_ptr<TomlNode> root_;
};

}  // namespace qvgateway
