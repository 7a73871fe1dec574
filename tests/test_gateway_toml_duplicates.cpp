// A key or table given twice, from a table of files: named as the gateway
// names keys elsewhere, with the line of the first one; anything else the
// parser says is left to it.
#include <gtest/gtest.h>

#include <string>

#include "tools/qvgateway/config/toml_duplicates.h"

namespace qvgateway {
namespace {

TEST(GatewayTomlDuplicates, NamedInTheGatewaysTerms) {
  const std::string stations =
      "[line]\nport = \"sim\"\n[[station]]\nnumber = 1\n[[station]]\nnumber = 2\npoll_ms = 1\n  poll_ms = 2\n";
  struct Row {
    const char* name;
    std::string text;
    int line;
    std::string message, said;
  } rows[] = {
      {"in a table", "[line]\nport = \"a\"\nbaud = 1\nport = \"b\"\n", 4, "value (\"port\") already exists",
       "F:4: line.port: is given twice (first at line 2): keep one"},
      {"in the second of an array", stations, 8, "value (\"poll_ms\") already exists",
       "F:8: station[2].poll_ms: is given twice (first at line 7): keep one"},
      {"at the top", "a = 1\n\"a\" = 2\n", 2, "value (\"a\") already exists",
       "F:2: a: is given twice (first at line 1): keep one"},
      {"a quoted first one", "[mqtt]\n'qos' = 1\nqos = 2\n", 3, "value (\"qos\") already exists",
       "F:3: mqtt.qos: is given twice (first at line 2): keep one"},
      {"a longer key is another key", "[line]\nbaud_x = 1\nbaud = 1\nbaud = 2\n", 4, "value (\"baud\") already exists",
       "F:4: line.baud: is given twice (first at line 3): keep one"},
      {"a table", "[line]\nport = \"a\"\n[modbus]\n[line]\n", 4, "table (\"line\") already exists",
       "F:4: [line]: is given twice (first at line 1): put its keys in one table"},
      {"the first one not found", "[line]\n", 9, "value (\"port\") already exists",
       "F:9: line.port: is given twice: keep one"},
      {"not about a duplicate", "[line]\n", 1, "bad format: unknown value appeared", ""},
      {"no name in the message", "[line]\n", 1, "already exists", ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(DuplicateProblem("F", row.text, row.line, "toml::insert_value: " + row.message + "."), row.said)
        << row.name;
  }
}

}  // namespace
}  // namespace qvgateway
