#include "tools/qvpoll/report.h"

#include <stdio.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "tools/qvpoll/timestamps.h"

namespace qvpoll {
namespace {

using Json = nlohmann::ordered_json;

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string HexValue(uint32_t value, int digits) {
  char text[16];
  snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

std::string Dump(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

// Rows show a value for good reads and for every write (what was sent, or
// was to be sent).
bool ShowsValue(const Row& row) { return row.ok || row.write; }

}  // namespace

void Report::Header() {
  if (!output_.Empty()) return;
  if (format_ == Format::Table) {
    char line[128];
    snprintf(line, sizeof line, "%-5s %7s  %-10s %8s %8s %7s  %s", "scan", "station", "tag", "value", "hex", "quality",
             "timestamp / error");
    output_.Line(line);
  } else if (format_ == Format::Csv) {
    output_.Line("scan,station,tag,operation,value,hex,quality,timestamp,error_code,error_meaning,error_text");
  }
}

std::string Report::TableRow(const Row& row) const {
  const std::string scan = row.write ? "write" : std::to_string(row.scan);
  const std::string value = ShowsValue(row) ? std::to_string(row.value) : "-";
  const std::string hex = ShowsValue(row) ? HexValue(row.value, row.digits) : "-";
  const std::string quality = row.ok && !row.write ? std::to_string(row.quality) : "-";
  const std::string outcome = Iso8601(row.unixMs, utc_) + (row.ok ? "" : "  " + Describe(row.error));
  char line[160];
  snprintf(line, sizeof line, "%-5s %7d  %-10s %8s %8s %7s  ", scan.c_str(), row.station, row.tag.c_str(),
           value.c_str(), hex.c_str(), quality.c_str());
  return line + outcome;
}

std::string Report::CsvRow(const Row& row) const {
  const bool value = ShowsValue(row);
  std::string line = std::to_string(row.scan) + "," + std::to_string(row.station) + "," + CsvField(row.tag) + "," +
                     (row.write ? "write" : "read") + ",";
  line += (value ? std::to_string(row.value) : "") + "," + (value ? HexValue(row.value, row.digits) : "") + ",";
  line += (row.ok && !row.write ? std::to_string(row.quality) : "") + "," + Iso8601(row.unixMs, utc_) + ",";
  if (!row.ok) {
    line += (row.error.code >= 0 ? std::to_string(row.error.code) : "") + "," + CsvField(Meaning(row.error.code)) +
            "," + CsvField(row.error.text);
  } else {
    line += ",,";
  }
  return line;
}

std::string Report::JsonRow(const Row& row) const {
  Json json;
  json["scan"] = row.scan;
  json["station"] = row.station;
  json["tag"] = row.tag;
  json["operation"] = row.write ? "write" : "read";
  if (ShowsValue(row)) {
    json["value"] = row.value;
    json["hex"] = HexValue(row.value, row.digits);
  }
  if (row.ok && !row.write) json["quality"] = row.quality;
  json["timestamp"] = Iso8601(row.unixMs, utc_);
  if (!row.ok) {
    Json error;
    error["code"] = row.error.code >= 0 ? Json(row.error.code) : Json(nullptr);
    error["meaning"] = Meaning(row.error.code);
    error["text"] = row.error.text;
    json["error"] = error;
  }
  return Dump(json);
}

void Report::Print(const Row& row) {
  switch (format_) {
    case Format::Table: output_.Line(TableRow(row)); break;
    case Format::Csv: output_.Line(CsvRow(row)); break;
    case Format::Json: output_.Line(JsonRow(row)); break;
  }
}

void Report::Transaction(double milliseconds, bool ok, int errorCode) {
  ++transactions_;
  times_.push_back(milliseconds);
  if (!ok) {
    ++failures_;
    ++failuresByCode_[errorCode];
  }
}

void Report::Summary(int scans, const std::string& stopped) {
  std::vector<double> sorted = times_;
  std::sort(sorted.begin(), sorted.end());
  const double median = sorted.empty() ? 0 : sorted[sorted.size() / 2];
  const double worst = sorted.empty() ? 0 : sorted.back();
  if (format_ == Format::Json) {
    Json codes = Json::object();
    for (const auto& [code, count] : failuresByCode_) codes[std::to_string(code)] = count;
    Json summary;
    summary["scans"] = scans;
    summary["transactions"] = transactions_;
    summary["failures"] = failures_;
    summary["failures_by_code"] = codes;
    summary["median_ms"] = static_cast<double>(static_cast<int64_t>(median * 10 + 0.5)) / 10;
    summary["worst_ms"] = static_cast<double>(static_cast<int64_t>(worst * 10 + 0.5)) / 10;
    summary["stopped"] = stopped.empty() ? Json(nullptr) : Json(stopped);
    output_.Line(Dump(Json{{"summary", summary}}));
    return;
  }
  std::string byCode;
  for (const auto& [code, count] : failuresByCode_) {
    byCode += (byCode.empty() ? "" : ", ") + std::to_string(count) + " x " +
              (code >= 0 ? "code " + std::to_string(code) + " " : std::string()) + "(" + Meaning(code) + ")";
  }
  char text[512];
  snprintf(text, sizeof text, "summary: %d scan%s, %d transaction%s, %d failed%s%s%s; median %.1f ms, worst %.1f ms",
           scans, scans == 1 ? "" : "s", transactions_, transactions_ == 1 ? "" : "s", failures_,
           byCode.empty() ? "" : " (", byCode.c_str(), byCode.empty() ? "" : ")", median, worst);
  std::string line = text;
  if (!stopped.empty()) line += "; stopped: " + stopped;
  if (format_ == Format::Table) {
    output_.Line(line);
  } else {
    WriteText(Stream::Err, line + "\n");
  }
}

}  // namespace qvpoll
