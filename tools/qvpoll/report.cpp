#include "tools/qvpoll/report.h"

#include <stdio.h>

#include <nlohmann/json.hpp>

#include "tools/host/timestamps.h"

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

// Numbers as numbers, with the digits shown (a float's shortest text);
// hex and bits as text; what the type cannot show (not BCD) as null.
Json JsonValue(const qvhost::ShownValue& shown) {
  if (!shown.valid) return Json(nullptr);
  if (!shown.number) return Json(shown.text);
  if (shown.text.find_first_of(".eE") != std::string::npos) return Json(std::stod(shown.text));
  if (shown.text[0] == '-') return Json(std::stoll(shown.text));
  return Json(std::stoull(shown.text));
}

}  // namespace

void Report::Header() {
  if (!output_.Empty() || quiet_) return;
  if (format_ == Format::Table) {
    char line[128];
    snprintf(line, sizeof line, "%-5s %7s  %-10s %*s %10s %7s  %s", "scan", "station", "tag", valueWidth_, "value",
             "hex", "quality", "timestamp / error");
    output_.Line(line);
  } else if (format_ == Format::Csv) {
    output_.Line("scan,station,tag,operation,value,hex,quality,timestamp,error_code,error_meaning,error_text,reason");
  }
}

std::string Report::TableRow(const Row& row) const {
  const std::string scan = row.write ? "write" : std::to_string(row.scan);
  const std::string value = ShowsValue(row) ? row.shown.text : "-";
  const std::string hex = ShowsValue(row) ? HexValue(row.value, row.digits) : "-";
  // A failed row says so where a good one shows its quality.
  const std::string quality = !row.ok ? "FAILED" : row.write ? "-" : std::to_string(row.quality);
  std::string outcome = qvhost::Iso8601(row.unixMs, utc_);
  if (!row.ok) outcome += "  " + qvhost::Describe(row.error);
  if (!row.reason.empty()) outcome += (row.ok ? "  " : ": ") + row.reason;
  char line[200];
  snprintf(line, sizeof line, "%-5s %7d  %-10s %*s %10s %7s  ", scan.c_str(), row.station, row.tag.c_str(),
           valueWidth_, value.c_str(), hex.c_str(), quality.c_str());
  return line + outcome;
}

std::string Report::CsvRow(const Row& row) const {
  const bool value = ShowsValue(row);
  std::string line = std::to_string(row.scan) + "," + std::to_string(row.station) + "," + CsvField(row.tag) + "," +
                     (row.write ? "write" : "read") + ",";
  line += (value ? CsvField(row.shown.text) : "") + "," + (value ? HexValue(row.value, row.digits) : "") + ",";
  line += (row.ok && !row.write ? std::to_string(row.quality) : "") + "," + qvhost::Iso8601(row.unixMs, utc_) + ",";
  if (!row.ok) {
    line += (row.error.code >= 0 ? std::to_string(row.error.code) : "") + "," + CsvField(qvhost::Meaning(row.error.code)) +
            "," + CsvField(row.error.text);
  } else {
    line += ",,";
  }
  return line + "," + CsvField(row.reason);
}

std::string Report::JsonRow(const Row& row) const {
  Json json;
  json["scan"] = row.scan;
  json["station"] = row.station;
  json["tag"] = row.tag;
  json["operation"] = row.write ? "write" : "read";
  // Every row has every key, null where it has no value.
  const bool shows = ShowsValue(row);
  json["value"] = shows ? JsonValue(row.shown) : Json(nullptr);
  json["hex"] = shows ? Json(HexValue(row.value, row.digits)) : Json(nullptr);
  json["quality"] = row.ok && !row.write ? Json(row.quality) : Json(nullptr);
  json["timestamp"] = qvhost::Iso8601(row.unixMs, utc_);
  json["ok"] = row.ok;
  Json error(nullptr);
  if (!row.ok) {
    error = Json::object();
    error["code"] = row.error.code >= 0 ? Json(row.error.code) : Json(nullptr);
    error["meaning"] = qvhost::Meaning(row.error.code);
    error["text"] = row.error.text;
  }
  json["error"] = error;
  json["reason"] = row.reason.empty() ? Json(nullptr) : Json(row.reason);
  return Dump(json);
}

void Report::Print(const Row& row) {
  switch (format_) {
    case Format::Table: output_.Line(TableRow(row)); break;
    case Format::Csv: output_.Line(CsvRow(row)); break;
    case Format::Json: output_.Line(JsonRow(row)); break;
  }
}

void Report::Summary(int scans, const std::string& stopped) {
  if (quiet_) return;
  const Tally& total = statistics_.Total();
  if (format_ == Format::Json) {
    Json summary;
    summary["scans"] = scans;
    Json all = total.Json();
    for (auto& item : all.items()) summary[item.key()] = item.value();
    summary["worst_ms"] = all["max_ms"];
    Json stations = Json::object();
    for (const auto& [station, tally] : statistics_.Stations()) stations[std::to_string(station)] = tally.Json();
    summary["stations"] = stations;
    summary["stopped"] = stopped.empty() ? Json(nullptr) : Json(stopped);
    output_.Line(Dump(Json{{"summary", summary}}));
    return;
  }
  std::string text = "summary: " + std::to_string(scans) + " scan" + (scans == 1 ? "" : "s") + ", " + total.Text();
  if (!stopped.empty()) text += "; stopped: " + stopped;
  if (statistics_.Stations().size() > 1) {
    for (const auto& [station, tally] : statistics_.Stations()) {
      text += "\n  station " + std::to_string(station) + ": " + tally.Text();
    }
  }
  if (format_ == Format::Table) {
    output_.Line(text);
  } else {
    qvhost::WriteText(qvhost::Stream::Err, text + "\n");
  }
}

}  // namespace qvpoll
