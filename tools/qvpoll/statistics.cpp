#include "tools/qvpoll/statistics.h"

#include <stdio.h>

#include <algorithm>

#include "tools/host/driver_errors.h"

namespace qvpoll {
namespace {

double Tenths(double v) { return static_cast<double>(static_cast<int64_t>(v * 10 + 0.5)) / 10; }

struct Times {
  double min = 0, median = 0, max = 0;
};

Times Spread(std::vector<double> times) {
  Times t;
  if (times.empty()) return t;
  std::sort(times.begin(), times.end());
  t.min = times.front();
  t.median = times[times.size() / 2];
  t.max = times.back();
  return t;
}

double Percent(int part, int whole) { return whole == 0 ? 0 : 100.0 * part / whole; }

}  // namespace

void Tally::Add(double milliseconds, bool ok, int errorCode, const std::string& reason) {
  ++transactions;
  times.push_back(milliseconds);
  if (!ok) {
    ++failures;
    ++failuresByCode[errorCode];
    // What arrived differs from failure to failure; the kind does not.
    if (!reason.empty()) ++failuresByReason[reason.substr(0, reason.find(';'))];
  }
}

std::string Tally::Text() const {
  std::string byCode;
  for (const auto& [code, count] : failuresByCode) {
    byCode += (byCode.empty() ? ": " : ", ") + std::to_string(count) + " x " +
              (code >= 0 ? "code " + std::to_string(code) + " " : std::string()) + "(" + qvhost::Meaning(code) + ")";
  }
  std::string byReason;
  for (const auto& [reason, count] : failuresByReason) {
    byReason += (byReason.empty() ? "; why: " : ", ") + std::to_string(count) + " x " + reason;
  }
  byCode += byReason;
  const Times t = Spread(times);
  char text[1024];
  snprintf(text, sizeof text, "%d transaction%s, %d failed (%.1f%%%s); min %.1f ms, median %.1f ms, max %.1f ms",
           transactions, transactions == 1 ? "" : "s", failures, Percent(failures, transactions), byCode.c_str(),
           t.min, t.median, t.max);
  return text;
}

nlohmann::ordered_json Tally::Json() const {
  nlohmann::ordered_json codes = nlohmann::ordered_json::object();
  for (const auto& [code, count] : failuresByCode) codes[std::to_string(code)] = count;
  const Times t = Spread(times);
  nlohmann::ordered_json json;
  json["transactions"] = transactions;
  json["failures"] = failures;
  json["failed_percent"] = Tenths(Percent(failures, transactions));
  json["failures_by_code"] = codes;
  nlohmann::ordered_json reasons = nlohmann::ordered_json::object();
  for (const auto& [reason, count] : failuresByReason) reasons[reason] = count;
  json["failures_by_reason"] = reasons;
  json["min_ms"] = Tenths(t.min);
  json["median_ms"] = Tenths(t.median);
  json["max_ms"] = Tenths(t.max);
  return json;
}

}  // namespace qvpoll
