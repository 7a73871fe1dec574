// The HTTP side's pure parts: /healthz's answer for each state of the
// line, and the [http] table of a gateway's file.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "tools/qvgateway/config/config.h"
#include "tools/host/timestamps.h"
#include "tools/qvgateway/http/health_check.h"

namespace qvgateway {
namespace {

TEST(GatewayHealthz, TwoHundredOnlyWhenEveryConfiguredPartWorks) {
  struct Row {
    const char* name;
    bool lineUp;
    std::vector<StationLook> stations;
    BrokerLook broker;
    int status;
    std::string body;
  };
  const StationLook one{1, true, -1}, two{2, true, -1}, silentTwo{2, false, 5}, silentSeven{7, false, 5};
  const int64_t at = 1796790454881;  // 2026-12-09T06:47:34.881Z
  const BrokerLook none, up{true, true, at}, gone{true, false, at};
  const std::string since = "\"since\":\"" + qvhost::Iso8601(at, false) + "\"";
  const Row rows[] = {
      {"port closed", false, {one, two}, none, 503,
       R"({"ok":false,"down":["line"],"reason":"the port is not open","port_open":false,"answering":[1,2],"not_answering":[]})"},
      {"none answering", true, {silentTwo, silentSeven}, none, 503,
       R"({"ok":false,"down":["stations"],"reason":"stations 2, 7 do not answer","port_open":true,"answering":[],"not_answering":[2,7]})"},
      {"some", true, {one, silentTwo}, none, 503,
       R"({"ok":false,"down":["stations"],"reason":"station 2 does not answer","port_open":true,"answering":[1],"not_answering":[2]})"},
      {"all", true, {one, two}, none, 200,
       R"({"ok":true,"down":[],"reason":"every station answers","port_open":true,"answering":[1,2],"not_answering":[]})"},
      {"port closed, none answering", false, {silentTwo}, none, 503,
       R"({"ok":false,"down":["line"],"reason":"the port is not open","port_open":false,"answering":[],"not_answering":[2]})"},
      {"all, broker connected", true, {one, two}, up, 200,
       R"({"ok":true,"down":[],"reason":"every station answers and the MQTT broker is connected","port_open":true,"answering":[1,2],"not_answering":[],"broker":{"connected":true,)" +
           since + "}}"},
      {"all, broker gone", true, {one, two}, gone, 503,
       R"({"ok":false,"down":["broker"],"reason":"the MQTT broker is not connected","port_open":true,"answering":[1,2],"not_answering":[],"broker":{"connected":false,)" +
           since + "}}"},
      {"port closed, broker gone", false, {one}, gone, 503,
       R"({"ok":false,"down":["line","broker"],"reason":"the port is not open; the MQTT broker is not connected","port_open":false,"answering":[1],"not_answering":[],"broker":{"connected":false,)" +
           since + "}}"},
  };
  for (const Row& r : rows) {
    const HttpReply reply = HealthReply(r.lineUp, r.stations, r.broker);
    EXPECT_EQ(reply.status, r.status) << r.name;
    EXPECT_EQ(reply.body, r.body + "\n") << r.name;
    EXPECT_EQ(reply.contentType, "application/json") << r.name;
  }
}

// A gateway file with one station and the given [http] table, read back.
class GatewayHttpConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qvgwhttp.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    path_ = folder_ + "/line.toml";
  }
  void TearDown() override {
    unlink(path_.c_str());
    rmdir(folder_.c_str());
  }
  bool Load(const std::string& http, GatewayConfig* config, std::vector<std::string>* problems) {
    std::ofstream(path_) << "[line]\nport = \"sim\"\n" << http << "\n[[station]]\nnumber = 1\nread = [\"D100\"]\n";
    return LoadConfig(path_, config, problems);
  }

  std::string folder_, path_;
};

TEST_F(GatewayHttpConfig, ListenTakesAnIPv4AddressAndPort) {
  struct Row {
    const char* table;
    bool enabled;
    std::string host;
    int port;
  };
  const Row rows[] = {
      {"", false, "127.0.0.1", 8502},
      {"[http]\n", true, "127.0.0.1", 8502},
      {"[http]\nlisten = \"127.0.0.1:8502\"\n", true, "127.0.0.1", 8502},
      {"[http]\nlisten = \"0.0.0.0:0\"\n", true, "0.0.0.0", 0},
      {"[http]\nlisten = \"192.168.10.4:65535\"\n", true, "192.168.10.4", 65535},
  };
  for (const Row& r : rows) {
    GatewayConfig config;
    std::vector<std::string> problems;
    EXPECT_TRUE(Load(r.table, &config, &problems)) << r.table << (problems.empty() ? "" : problems.front());
    EXPECT_EQ(config.http.enabled, r.enabled) << r.table;
    EXPECT_EQ(config.http.host, r.host) << r.table;
    EXPECT_EQ(config.http.port, r.port) << r.table;
  }
}

TEST_F(GatewayHttpConfig, RefusedWithTheKeyItsLineAndWhy) {
  struct Row {
    const char* table;
    std::string key;
    std::string why;
  };
  const Row rows[] = {
      {"[http]\nlisten = \"localhost:8502\"\n", "http.listen", "'localhost:8502' is not an IPv4 address and port"},
      {"[http]\nlisten = \"127.0.0.1\"\n", "http.listen", "is not an IPv4 address and port"},
      {"[http]\nlisten = \"127.0.0.1:65536\"\n", "http.listen", "is not an IPv4 address and port"},
      {"[http]\nlisten = \"127.0.0.1:-1\"\n", "http.listen", "is not an IPv4 address and port"},
      {"[http]\nlisten = \"127.0.0.1:\"\n", "http.listen", "is not an IPv4 address and port"},
      {"[http]\nlisten = \":8502\"\n", "http.listen", "is not an IPv4 address and port"},
      {"[http]\nlisten = \"[::1]:8502\"\n", "http.listen", "is not an IPv4 address and port"},
      {"[http]\nlisten = \"127.0.0.1:8502 \"\n", "http.listen", "is not an IPv4 address and port"},
      {"[http]\nlisten = 8502\n", "http.listen", ""},
      {"[http]\nport = 8502\n", "http.port", ""},
  };
  for (const Row& r : rows) {
    GatewayConfig config;
    std::vector<std::string> problems;
    EXPECT_FALSE(Load(r.table, &config, &problems)) << r.table;
    ASSERT_EQ(problems.size(), 1u) << r.table;
    // The table starts on the file's third line; its key on the fourth.
    EXPECT_NE(problems[0].find(path_ + ":4: " + r.key + ": "), std::string::npos) << problems[0];
    EXPECT_NE(problems[0].find(r.why), std::string::npos) << problems[0];
  }
}

}  // namespace
}  // namespace qvgateway
