// /metrics' rendering: names under the prefix with _total on counters,
// label values and help escaped as the text format says, histograms with
// cumulative buckets, +Inf, _sum and _count; numbers that read back as
// themselves; the busy share over its window; which outcome a transaction
// and a Modbus reply count as.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "tools/qvgateway/line/busy_window.h"
#include "tools/qvgateway/line/line_metrics.h"
#include "tools/qvgateway/http/metrics.h"
#include "tools/qvgateway/modbus/modbus_metrics.h"

namespace qvgateway {
namespace {

TEST(GatewayMetricsText, EscapesLabelValuesAndHelp) {
  struct Row {
    std::string raw, label, help;
  };
  const Row rows[] = {
      {"ttyUSB0", "ttyUSB0", "ttyUSB0"},
      {"a\"b", "a\\\"b", "a\"b"},
      {"C:\\port", "C:\\\\port", "C:\\\\port"},
      {"two\nlines", "two\\nlines", "two\\nlines"},
      {"\\\"\n", "\\\\\\\"\\n", "\\\\\"\\n"},
      {"", "", ""},
      {"中文 ok", "中文 ok", "中文 ok"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(EscapeLabelValue(r.raw), r.label) << r.raw;
    EXPECT_EQ(EscapeHelp(r.raw), r.help) << r.raw;
  }
}

TEST(GatewayMetricsText, FamiliesAreNamedAndTyped) {
  struct Row {
    MetricType type;
    const char* name;
    Labels labels;
    double value;
    std::string expected;
  };
  const Row rows[] = {
      {MetricType::Counter, "transactions", {{"station", "1"}, {"outcome", "ok"}}, 12,
       "# HELP quorvalend_transactions_total h\n# TYPE quorvalend_transactions_total counter\n"
       "quorvalend_transactions_total{station=\"1\",outcome=\"ok\"} 12\n"},
      {MetricType::Gauge, "port_open", {}, 1,
       "# HELP quorvalend_port_open h\n# TYPE quorvalend_port_open gauge\nquorvalend_port_open 1\n"},
      {MetricType::Gauge, "oldest_value_age_seconds", {{"station", "a\"b"}}, 0.25,
       "# HELP quorvalend_oldest_value_age_seconds h\n# TYPE quorvalend_oldest_value_age_seconds gauge\n"
       "quorvalend_oldest_value_age_seconds{station=\"a\\\"b\"} 0.25\n"},
      {MetricType::Counter, "line_busy_seconds", {}, 1.5,
       "# HELP quorvalend_line_busy_seconds_total h\n# TYPE quorvalend_line_busy_seconds_total counter\n"
       "quorvalend_line_busy_seconds_total 1.5\n"},
  };
  for (const Row& r : rows) {
    MetricsText m;
    m.Family(r.type, r.name, "h");
    m.Sample(r.labels, r.value);
    EXPECT_EQ(m.Text(), r.expected) << r.name;
  }
}

TEST(GatewayMetricsText, HelpLinesAreEscaped) {
  MetricsText m;
  m.Family(MetricType::Gauge, "x", "a \\ b\nc");
  EXPECT_EQ(m.Text(), "# HELP quorvalend_x a \\\\ b\\nc\n# TYPE quorvalend_x gauge\n");
}

TEST(GatewayMetricsText, NumbersReadBackAsThemselves) {
  struct Row {
    double value;
    const char* text;
  };
  const Row rows[] = {
      {0, "0"},
      {3, "3"},
      {0.1, "0.1"},
      {0.005, "0.005"},
      {4294967296.0, "4294967296"},
      {-2.5, "-2.5"},
      {std::numeric_limits<double>::infinity(), "+Inf"},
      {-std::numeric_limits<double>::infinity(), "-Inf"},
      {std::nan(""), "NaN"},
  };
  for (const Row& r : rows) EXPECT_EQ(FormatNumber(r.value), r.text) << r.text;
  for (double v : {1.0 / 3, 1e-7, 123456.789, 1e300}) EXPECT_EQ(std::stod(FormatNumber(v)), v) << FormatNumber(v);
}

TEST(GatewayMetricsText, MetricNames) {
  struct Row {
    const char* name;
    bool valid;
  };
  const Row rows[] = {{"quorvalend_x", true}, {"_x:y9", true}, {"9x", false}, {"a-b", false}, {"", false},
                      {"a b", false},         {"a\"", false}};
  for (const Row& r : rows) EXPECT_EQ(IsMetricName(r.name), r.valid) << r.name;
}

TEST(GatewayMetricsHistogram, CumulativeBucketsSumAndCount) {
  struct Row {
    std::vector<double> observed;
    std::vector<uint64_t> cumulative;  // le 0.01, 0.1, 1, +Inf
    double sum;
  };
  const Row rows[] = {
      {{}, {0, 0, 0, 0}, 0},
      {{0.01}, {1, 1, 1, 1}, 0.01},  // a bound is "less or equal"
      {{0.005, 0.05, 0.5, 5}, {1, 2, 3, 4}, 5.555},
      {{0.2, 0.3, 0.4}, {0, 0, 3, 3}, 0.9},
      {{-1, 0}, {2, 2, 2, 2}, 0},  // no negative time
      {{2, 3}, {0, 0, 0, 2}, 5},
  };
  for (const Row& r : rows) {
    Histogram h({0.01, 0.1, 1});
    for (double s : r.observed) h.Observe(s);
    const Histogram::Snapshot snap = h.Take();
    EXPECT_EQ(snap.cumulative, r.cumulative);
    EXPECT_NEAR(snap.sum, r.sum, 1e-6);
  }
}

TEST(GatewayMetricsHistogram, RenderedWithLeLastAndInfBucket) {
  Histogram h({0.05, 0.5});
  h.Observe(0.03);
  h.Observe(0.2);
  h.Observe(3);
  MetricsText m;
  m.Family(MetricType::Histogram, "transaction_seconds", "t");
  m.Sample({{"station", "7"}}, h.Take());
  EXPECT_EQ(m.Text(),
            "# HELP quorvalend_transaction_seconds t\n# TYPE quorvalend_transaction_seconds histogram\n"
            "quorvalend_transaction_seconds_bucket{station=\"7\",le=\"0.05\"} 1\n"
            "quorvalend_transaction_seconds_bucket{station=\"7\",le=\"0.5\"} 2\n"
            "quorvalend_transaction_seconds_bucket{station=\"7\",le=\"+Inf\"} 3\n"
            "quorvalend_transaction_seconds_sum{station=\"7\"} 3.23\n"
            "quorvalend_transaction_seconds_count{station=\"7\"} 3\n");
}

TEST(GatewayMetricsHistogram, TransactionBoundsAscendAndCoverATimeOut) {
  const std::vector<double> bounds = TransactionBuckets();
  for (size_t i = 1; i < bounds.size(); ++i) EXPECT_LT(bounds[i - 1], bounds[i]);
  EXPECT_LE(bounds.front(), 0.005);  // a register at 57600 baud
  EXPECT_GT(bounds.back(), 1.0);     // the default 1 s time-out
}

TEST(GatewayBusyWindow, ShareOverAboutTheLastMinute) {
  struct Step {
    int64_t atMs;
    double busyMs;
    double share;
  };
  struct Row {
    const char* name;
    std::vector<Step> steps;
  };
  const Row rows[] = {
      {"young: since the start", {{10000, 2500, 0.25}, {20000, 10000, 0.5}}},
      {"no time yet", {{0, 0, 0}}},
      {"old: the newest reading a window old is the base",
       {{30000, 3000, 0.1}, {60000, 6000, 0.1}, {90000, 36000, (36000 - 3000) / 60000.0}}},
      // Kept, the reading at 0.5 s would be the base at 60.6 s.
      {"scraped often: readings a second apart at most", {{500, 100, 0.2}, {60600, 6060, 0.1}}},
      {"clamped", {{1000, 1500, 1}}},
  };
  for (const Row& r : rows) {
    BusyWindow window(60000, 0, 0);
    for (const Step& s : r.steps) EXPECT_NEAR(window.Share(s.atMs, s.busyMs), s.share, 1e-9) << r.name << " @" << s.atMs;
  }
}

TEST(GatewayLineMetrics, OutcomesByDriverCode) {
  struct Row {
    bool ok;
    int code;
    TransactionOutcome outcome;
    const char* label;
  };
  const Row rows[] = {{true, -1, TransactionOutcome::Ok, "ok"},
                      {false, 5, TransactionOutcome::Timeout, "timeout"},
                      {false, 6, TransactionOutcome::BadReply, "bad_reply"},
                      {false, 3, TransactionOutcome::OtherError, "error"},
                      {false, -1, TransactionOutcome::OtherError, "error"}};
  for (const Row& r : rows) {
    EXPECT_EQ(OutcomeOf(r.ok, r.code), r.outcome) << r.code;
    EXPECT_STREQ(OutcomeLabel(OutcomeOf(r.ok, r.code)), r.label);
  }
  LineMetrics line(2);
  line.Transaction(1, TransactionOutcome::Timeout, 1000);
  line.Transaction(1, TransactionOutcome::Ok, 30);
  EXPECT_EQ(line.Transactions(1, TransactionOutcome::Timeout), 1u);
  EXPECT_EQ(line.Transactions(0, TransactionOutcome::Timeout), 0u);
  EXPECT_EQ(line.Times(1).cumulative.back(), 2u);
  EXPECT_NEAR(line.Times(1).sum, 1.03, 1e-6);
}

TEST(GatewayModbusMetrics, RequestsByFunctionAndOutcome) {
  struct Row {
    uint8_t function;
    std::vector<uint8_t> reply;
    std::string outcome;
  };
  const Row rows[] = {
      {3, {3, 2, 0x04, 0xD2}, "ok"},
      {3, {0x83, 0x02}, "0x02"},
      {6, {0x86, 0x0B}, "0x0B"},
      {0x2B, {0xAB, 0x01}, "0x01"},
      {3, {}, "no_reply"},
      {3, {0x83, 0x20}, "other_exception"},
      {1, {1, 1, 0}, "ok"},  // two data bytes, not an exception
  };
  ModbusMetrics metrics;
  for (const Row& r : rows) {
    const int slot = ModbusMetrics::SlotOf(r.reply);
    EXPECT_EQ(ModbusMetrics::SlotLabel(slot), r.outcome);
    metrics.Request(r.function, r.reply);
  }
  EXPECT_EQ(metrics.Requests(3, 0), 1u);
  EXPECT_EQ(metrics.Requests(3, 2), 1u);
  EXPECT_EQ(metrics.Requests(6, 0x0B), 1u);
  EXPECT_EQ(metrics.Requests(3, ModbusMetrics::kGone), 1u);
  EXPECT_EQ(metrics.Requests(4, 0), 0u);
}

}  // namespace
}  // namespace qvgateway
