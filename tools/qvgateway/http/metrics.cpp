#include "tools/qvgateway/http/metrics.h"

#include <charconv>
#include <cmath>

namespace qvgateway {

Histogram::Histogram(std::vector<double> bounds)
    : bounds_(std::move(bounds)), slots_(new std::atomic<uint64_t>[bounds_.size() + 2]) {
  for (size_t i = 0; i < bounds_.size() + 2; ++i) slots_[i].store(0, std::memory_order_relaxed);
}

void Histogram::Observe(double seconds) {
  if (!(seconds > 0)) seconds = 0;  // a clock step back, or NaN, counts as no time
  size_t bucket = 0;
  while (bucket < bounds_.size() && seconds > bounds_[bucket]) ++bucket;
  slots_[bucket].fetch_add(1, std::memory_order_relaxed);
  slots_[bounds_.size() + 1].fetch_add(static_cast<uint64_t>(std::llround(seconds * 1e6)),
                                       std::memory_order_relaxed);
}

Histogram::Snapshot Histogram::Take() const {
  Snapshot s;
  s.bounds = bounds_;
  uint64_t running = 0;
  for (size_t i = 0; i <= bounds_.size(); ++i) {
    running += slots_[i].load(std::memory_order_relaxed);
    s.cumulative.push_back(running);
  }
  s.sum = static_cast<double>(slots_[bounds_.size() + 1].load(std::memory_order_relaxed)) / 1e6;
  return s;
}

std::string EscapeLabelValue(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string EscapeHelp(const std::string& help) {
  std::string out;
  for (char c : help) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string FormatNumber(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value);
  return std::string(text, end.ptr);
}

bool IsMetricName(const std::string& name) {
  if (name.empty()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
    if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
  }
  return true;
}

void MetricsText::Family(MetricType type, const std::string& name, const std::string& help) {
  type_ = type;
  name_ = kMetricPrefix + name + (type == MetricType::Counter ? "_total" : "");
  const char* typeName = type == MetricType::Counter ? "counter" : type == MetricType::Gauge ? "gauge" : "histogram";
  text_ += "# HELP " + name_ + " " + EscapeHelp(help) + "\n# TYPE " + name_ + " " + typeName + "\n";
}

void MetricsText::Line(const std::string& name, const Labels& labels, const std::string& value) {
  text_ += name;
  if (!labels.empty()) {
    text_ += '{';
    for (size_t i = 0; i < labels.size(); ++i) {
      text_ += (i > 0 ? "," : "") + labels[i].first + "=\"" + EscapeLabelValue(labels[i].second) + "\"";
    }
    text_ += '}';
  }
  text_ += " " + value + "\n";
}

void MetricsText::Sample(const Labels& labels, double value) { Line(name_, labels, FormatNumber(value)); }

void MetricsText::Sample(const Labels& labels, const Histogram::Snapshot& histogram) {
  Labels withBound = labels;
  withBound.emplace_back("le", "");
  for (size_t i = 0; i < histogram.cumulative.size(); ++i) {
    withBound.back().second = i < histogram.bounds.size() ? FormatNumber(histogram.bounds[i]) : "+Inf";
    Line(name_ + "_bucket", withBound, FormatNumber(static_cast<double>(histogram.cumulative[i])));
  }
  Line(name_ + "_sum", labels, FormatNumber(histogram.sum));
  const uint64_t count = histogram.cumulative.empty() ? 0 : histogram.cumulative.back();
  Line(name_ + "_count", labels, FormatNumber(static_cast<double>(count)));
}

}  // namespace qvgateway
