// Counters and histograms that any thread bumps with a relaxed atomic add
// or two (the line thread among them, so nothing here locks), and their
// rendering in the Prometheus text exposition format: every name under
// `quorvalend_`, a counter's ending in `_total`, each family with its
// # HELP and # TYPE, label values escaped as the format says.
#pragma once

#include <stdint.h>

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qvgateway {

constexpr const char* kMetricPrefix = "quorvalend_";

class Counter {
 public:
  void Add(uint64_t n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
  uint64_t Value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> value_{0};
};

// Observations in seconds, counted into buckets fixed at construction
// (upper bounds, ascending). Movable until it is shared.
class Histogram {
 public:
  struct Snapshot {
    std::vector<double> bounds;
    std::vector<uint64_t> cumulative;  // one per bound, then +Inf (which is the count)
    double sum = 0;
  };

  explicit Histogram(std::vector<double> bounds);
  void Observe(double seconds);
  // Counts read one by one while others may still observe: the buckets
  // and the count always agree, since the count is the +Inf bucket.
  Snapshot Take() const;

 private:
  std::vector<double> bounds_;
  // One per bound, one past the last bound, then the sum in microseconds
  // (an atomic integer, where a double would need a compare loop).
  std::unique_ptr<std::atomic<uint64_t>[]> slots_;
};

enum class MetricType { Counter, Gauge, Histogram };
using Labels = std::vector<std::pair<std::string, std::string>>;

// Builds one exposition: a family, then its samples, then the next.
class MetricsText {
 public:
  // `name` without the prefix, and for a counter without `_total`: both
  // are added here, so that no family can miss them.
  void Family(MetricType type, const std::string& name, const std::string& help);
  // A counter's or gauge's sample in the family last started.
  void Sample(const Labels& labels, double value);
  // A histogram's series: cumulative `_bucket`s (`le` last among the
  // labels), `_sum` and `_count`.
  void Sample(const Labels& labels, const Histogram::Snapshot& histogram);
  const std::string& Text() const { return text_; }

 private:
  void Line(const std::string& name, const Labels& labels, const std::string& value);

  std::string text_, name_;
  MetricType type_ = MetricType::Gauge;
};

// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabelValue(const std::string& value);
// Help text with backslash and line feed escaped (a quote stays).
std::string EscapeHelp(const std::string& help);
// The shortest text that reads back as `value`; +Inf, -Inf, NaN.
std::string FormatNumber(double value);
// [a-zA-Z_:][a-zA-Z0-9_:]*
bool IsMetricName(const std::string& name);

}  // namespace qvgateway
