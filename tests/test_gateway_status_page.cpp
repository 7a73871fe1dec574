// What the status page reads, from tables: each station's state, each tag
// as MQTT shows it plus its age, escaping of what the file names, and the
// line's busy share per interval in a ring of bounded size.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tools/host/timestamps.h"
#include "tools/qvgateway/line/line_utilisation.h"
#include "tools/qvgateway/http/status_json.h"

namespace qvgateway {
namespace {

using Json = nlohmann::json;

StationHealth Health(uint32_t transactions, bool lastGood, bool demoted, int lastError, uint32_t timeouts = 0) {
  StationHealth h;
  h.transactions = transactions;
  h.timeouts = timeouts;
  h.lastGood = lastGood;
  h.demoted = demoted;
  h.lastError = lastError;
  return h;
}

TEST(GatewayStatusPage, StationStates) {
  struct Row {
    StationHealth health;
    bool portOpen;
    const char* state;
  } rows[] = {
      {Health(0, false, false, -1), true, "waiting"},
      {Health(12, true, false, -1), true, "good"},
      {Health(12, true, false, 5), true, "good"},  // answered again after a time-out
      {Health(12, false, false, 5), true, "not answering"},
      {Health(12, false, true, 5), true, "demoted"},
      {Health(12, true, true, 5), true, "demoted"},
      {Health(12, true, false, -1), false, "not answering"},  // the port is gone
      {Health(0, false, false, -1), false, "not answering"},
      {Health(0, false, false, 5), true, "not answering"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(std::string(StationState(row.health, row.portOpen)), row.state)
        << row.health.transactions << " " << row.health.lastGood << row.health.demoted << " " << row.portOpen;
  }
}

TEST(GatewayStatusPage, EachTagAsPublishedWithItsAge) {
  const int64_t now = 1796790454881;  // 2026-12-09T06:47:34.881Z
  struct Row {
    TagView tag;
    const char* json;  // without ts
  } rows[] = {
      {{Area::D, 100, {Quality::Good, 1234, -1, now - 120}, 120},
       R"({"tag":"D100","value":1234,"quality":"good","code":null,"age_ms":120})"},
      {{Area::D, 8199, {Quality::Stale, 65535, -1, now - 4500}, 4500},
       R"({"tag":"D8199","value":65535,"quality":"stale","code":null,"age_ms":4500})"},
      {{Area::M, 1, {Quality::Good, 0x3C, -1, now}, 0},
       R"({"tag":"M10","value":60,"quality":"good","code":null,"age_ms":0,"bits":"00111100"})"},
      {{Area::M, 2, {Quality::Stale, 0x81, -1, now - 900}, 900},
       R"({"tag":"M20","value":129,"quality":"stale","code":null,"age_ms":900,"bits":"10000001"})"},
      {{Area::M, 3, {Quality::Bad, 0x81, -1, now, LineReason::PortLost}, -1},
       R"({"tag":"M30","value":null,"quality":"bad","code":null,"meaning":"port lost","age_ms":null})"},
      {{Area::D, 0, {Quality::Bad, 77, 5, now}, -1},
       R"({"tag":"D0","value":null,"quality":"bad","code":5,"meaning":"receive time-out","age_ms":null})"},
      {{Area::D, 1, {Quality::Bad, 0, -1, now, LineReason::None, false}, -1},
       R"({"tag":"D1","value":null,"quality":"bad","code":null,"meaning":"not read yet","age_ms":null})"},
  };
  for (const Row& row : rows) {
    LineView view;
    view.portOpen = true;
    view.unixNowMs = now;
    view.stations.push_back({3, 1, Health(5, true, false, -1), {row.tag}});
    const Json got = Json::parse(StatusJson(view));
    EXPECT_FALSE(got.contains("mqtt")) << "no [mqtt] table, no broker shown";
    Json tag = got["stations"][0]["tags"][0];
    EXPECT_EQ(tag["ts"], qvhost::Iso8601(row.tag.state.unixMs, false)) << row.json;
    tag.erase("ts");
    EXPECT_EQ(tag, Json::parse(row.json));
  }
}

TEST(GatewayStatusPage, ADemotedStationBesideAGoodOne) {
  LineView view;
  view.port = "/dev/ttyUSB0";
  view.baud = 9600;
  view.portOpen = true;
  view.unixNowMs = 1796790454881;
  view.stations.push_back({1, 1, Health(40, true, false, -1), {{Area::D, 100, {Quality::Good, 7, -1, 0}, 10}}});
  view.stations.push_back({2, 7, Health(9, false, true, 5, 3), {{Area::D, 0, {Quality::Bad, 0, 5, 0}, -1}},
                           view.unixNowMs - 4000, view.unixNowMs + 6000});
  view.portSinceUnixMs = view.unixNowMs - 60000;
  view.broker = {true, false, view.unixNowMs - 30000};
  const Json got = Json::parse(StatusJson(view));
  EXPECT_EQ(got["time"], qvhost::Iso8601(view.unixNowMs, false));
  EXPECT_EQ(got["line"]["port"], "/dev/ttyUSB0");
  EXPECT_EQ(got["line"]["baud"], 9600);
  EXPECT_EQ(got["line"]["port_open"], true);
  EXPECT_EQ(got["line"]["since"], qvhost::Iso8601(view.unixNowMs - 60000, false));
  EXPECT_EQ(got["mqtt"], Json::parse(R"({"connected":false,"since":")" +
                                     qvhost::Iso8601(view.unixNowMs - 30000, false) + "\"}"));
  ASSERT_EQ(got["stations"].size(), 2u);
  struct Row {
    int number, unit;
    const char* state;
    bool good, demoted;
    Json lastError;
    uint32_t transactions, timeouts;
    const char* tagQuality;
    Json demotedSince, nextTry;
  } rows[] = {
      {1, 1, "good", true, false, nullptr, 40, 0, "good", nullptr, nullptr},
      {2, 7, "demoted", false, true, 5, 9, 3, "bad", qvhost::Iso8601(view.unixNowMs - 4000, false),
       qvhost::Iso8601(view.unixNowMs + 6000, false)},
  };
  for (size_t i = 0; i < 2; ++i) {
    const Json& s = got["stations"][i];
    const Row& row = rows[i];
    EXPECT_EQ(s["number"], row.number);
    EXPECT_EQ(s["unit"], row.unit);
    EXPECT_EQ(s["state"], row.state);
    EXPECT_EQ(s["communication_good"], row.good);
    EXPECT_EQ(s["demoted"], row.demoted);
    EXPECT_EQ(s["last_error"], row.lastError);
    EXPECT_EQ(s["transactions"], row.transactions);
    EXPECT_EQ(s["timeouts"], row.timeouts);
    EXPECT_EQ(s["tags"][0]["quality"], row.tagQuality);
    EXPECT_EQ(s["demoted_since"], row.demotedSince);
    EXPECT_EQ(s["next_try"], row.nextTry);
  }
  EXPECT_EQ(got["stations"][1]["meaning"], "receive time-out");
  EXPECT_FALSE(got["stations"][0].contains("meaning"));
}

TEST(GatewayStatusPage, WhatTheFileNamesIsEscaped) {
  struct Row {
    std::string port, shown;
  } rows[] = {
      {"a\"b", "a\"b"},
      {"C:\\ports\\COM3", "C:\\ports\\COM3"},
      {"line\n1\t\x01", "line\n1\t\x01"},
      {"</script><script>x()</script>", "</script><script>x()</script>"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
      {"bad\xff byte", "bad\xef\xbf\xbd byte"},  // not UTF-8: shown as U+FFFD
  };
  for (const Row& row : rows) {
    LineView view;
    view.port = row.port;
    const std::string text = StatusJson(view);
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    const Json got = Json::parse(text, nullptr, false);
    ASSERT_FALSE(got.is_discarded()) << text;
    EXPECT_EQ(got["line"]["port"], row.shown);
  }
}

TEST(GatewayStatusPage, UtilisationRoundedAndPlanned) {
  LineView view;
  view.plannedShare = 0.08004;
  view.busyShares = {0.0f, 0.12345f, 1.0f};
  const Json use = Json::parse(StatusJson(view))["line"]["utilisation"];
  EXPECT_EQ(use["interval_ms"], LineUtilisation::kIntervalMs);
  EXPECT_DOUBLE_EQ(use["planned"].get<double>(), 0.08);
  ASSERT_EQ(use["busy"].size(), 3u);
  EXPECT_DOUBLE_EQ(use["busy"][0].get<double>(), 0.0);
  EXPECT_DOUBLE_EQ(use["busy"][1].get<double>(), 0.123);
  EXPECT_DOUBLE_EQ(use["busy"][2].get<double>(), 1.0);
  view.busyShares.clear();
  EXPECT_EQ(Json::parse(StatusJson(view))["line"]["utilisation"]["busy"], Json::array());
}

TEST(GatewayLineUtilisation, EachReadingAfterTheFirstGivesTheBusyShareSinceTheOneBefore) {
  struct Reading {
    int64_t ms;
    double busyMs;
  };
  struct Row {
    const char* what;
    size_t capacity;
    std::vector<Reading> readings;
    std::vector<float> shares;
  } rows[] = {
      {"one reading says nothing yet", 10, {{1000, 50}}, {}},
      {"shares of their intervals", 10, {{1000, 50}, {2000, 300}, {2500, 300}, {3500, 1300}}, {0.25f, 0.0f, 1.0f}},
      {"a late sample still divides by its own interval", 10, {{0, 0}, {2000, 500}}, {0.25f}},
      {"a transaction ending late is kept at 1", 10, {{0, 0}, {1000, 1400}, {2000, 1500}}, {1.0f, 0.1f}},
      {"no time passed: ignored", 10, {{0, 0}, {1000, 100}, {1000, 900}, {900, 0}, {2000, 200}}, {0.1f, 0.1f}},
      {"the ring keeps the newest, oldest first", 3,
       {{0, 0}, {1000, 100}, {2000, 300}, {3000, 600}, {4000, 1000}, {5000, 1500}},
       {0.3f, 0.4f, 0.5f}},
      {"no room: nothing kept", 0, {{0, 0}, {1000, 100}}, {}},
  };
  for (const Row& row : rows) {
    LineUtilisation use(row.capacity);
    for (const Reading& r : row.readings) use.Record(r.ms, r.busyMs);
    const std::vector<float> got = use.Shares();
    ASSERT_EQ(got.size(), row.shares.size()) << row.what;
    for (size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], row.shares[i], 1e-6) << row.what << " #" << i;
  }
}

TEST(GatewayLineUtilisation, ItsThreadReadsAtOnceAndStopsWithoutWaitingOutAnInterval) {
  LineUtilisation use;
  std::atomic<int> readings{0};
  use.Start([&readings] {
    ++readings;
    return 0.0;
  });
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (readings == 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_GE(readings.load(), 1);
  const auto before = std::chrono::steady_clock::now();
  use.Stop();
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - before);
  EXPECT_LT(took.count(), LineUtilisation::kIntervalMs / 2);
  const int after = readings;
  std::this_thread::sleep_for(std::chrono::milliseconds(LineUtilisation::kIntervalMs + 200));
  EXPECT_EQ(readings.load(), after) << "read after Stop";
}

}  // namespace
}  // namespace qvgateway
