#include "tools/qvpoll/report.h"

#include <stdio.h>
#include <time.h>

#include <algorithm>

#if defined(_WIN32)
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace qvpoll {
namespace {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string HexValue(uint32_t value, int digits) {
  char text[16];
  snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

}  // namespace

std::string GbkToUtf8(const char* gbk) {
  if (gbk == nullptr) return "";
#if defined(_WIN32)
  const int wideLength = MultiByteToWideChar(936, 0, gbk, -1, nullptr, 0);
  if (wideLength <= 0) return gbk;
  std::wstring wide(static_cast<size_t>(wideLength), L'\0');
  MultiByteToWideChar(936, 0, gbk, -1, &wide[0], wideLength);
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &out[0], length, nullptr, nullptr);
  out.resize(static_cast<size_t>(length > 0 ? length - 1 : 0));
  return out;
#else
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return gbk;
  std::string in(gbk), out(in.size() * 4 + 4, '\0');
  char* inPtr = &in[0];
  char* outPtr = &out[0];
  size_t inLeft = in.size(), outLeft = out.size();
  const size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (done == static_cast<size_t>(-1)) return gbk;
  out.resize(out.size() - outLeft);
  return out;
#endif
}

const char* Gloss(int code) {
  static const char* const kGlosses[] = {
      "register name error",          "network initialisation failed", "IP address error",
      "opening the serial port failed", "configuring the serial port failed", "receive time-out",
      "erroneous data received",      "register range exceeded",        "data type error",
      "data type should be BIT",      "data type should be BYTE",       "data type should be INT",
      "data type should be UINT",     "data type should be BCD",        "data type should be LONG",
      "data type should be LONGBCD",  "data type should be FLOAT",      "data type should be STRING",
      "device (station) address error", "device name error",          "register data address error",
      "data type error",
  };
  if (code >= 0 && code < 22) return kGlosses[code];
  return "port write failed";
}

int ErrorCodeOf(const char* gbk) {
  // Codes 8 and 21 share their text; 21 is the one a driver sets.
  static const char* const kMessages[22] = {
      "寄存器名字错误!请查阅README文档或帮助文档!", "网络初始化失败!", "IP地址错误!", "打开串口失败!",
      "配置串口失败!", "接收数据超时错误!", "接收到错误数据!", "寄存器范围越界!请查阅README文档或帮助文档!",
      "", "数据类型应选'BIT'!", "数据类型应选'BYTE'!", "数据类型应选'INT'!", "数据类型应选'UINT'!",
      "数据类型应选'BCD'!", "数据类型应选'LONG'!", "数据类型应选'LONGBCD'!", "数据类型应选'FLOAT'!",
      "数据类型应选'STRING'!", "设备地址错误!请查阅README文档或帮助文档!",
      "设备名字错误!请查阅README文档或帮助文档!", "寄存器数据地址错误!请查阅README文档或帮助文档!",
      "数据类型错误!请查阅README文档或帮助文档!",
  };
  if (gbk == nullptr) return -1;
  const std::string text = GbkToUtf8(gbk);
  for (int code = 0; code < 22; ++code) {
    if (text == kMessages[code]) return code;
  }
  return kPlatformError;
}

std::string LocalTime(uint64_t fileTime) {
  constexpr uint64_t kUnixEpoch = 116444736000000000ull;
  if (fileTime < kUnixEpoch) return "-";
  const uint64_t ms = (fileTime - kUnixEpoch) / 10000u;
  const time_t seconds = static_cast<time_t>(ms / 1000u);
  tm local{};
#if defined(_WIN32)
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  char text[40];
  const size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  snprintf(text + n, sizeof text - n, ".%03u", static_cast<unsigned>(ms % 1000u));
  return text;
}

void Report::Header() const {
  if (format_ == Format::Table) {
    printf("%-5s %-10s %10s %8s %7s  %s\n", "scan", "tag", "value", "hex", "quality", "timestamp / error");
  } else if (format_ == Format::Csv) {
    printf("scan,tag,value,hex,quality,timestamp,error_code,error\n");
  }
}

void Report::Print(const Row& row) const {
  const std::string hex = row.ok ? HexValue(row.value, row.digits) : "";
  const std::string error =
      row.ok ? "" : row.message + " (" + std::to_string(row.errorCode) + ": " + Gloss(row.errorCode) + ")";
  switch (format_) {
    case Format::Table:
      if (row.ok) {
        printf("%-5d %-10s %10u %8s %7d  %s\n", row.scan, row.tag.c_str(), row.value, hex.c_str(), row.quality,
               LocalTime(row.fileTime).c_str());
      } else {
        printf("%-5d %-10s %10s %8s %7s  %s\n", row.scan, row.tag.c_str(), "-", "-", "-", error.c_str());
      }
      break;
    case Format::Csv:
      printf("%d,%s,%s,%s,%s,%s,%s,%s\n", row.scan, CsvField(row.tag).c_str(),
             row.ok ? std::to_string(row.value).c_str() : "", hex.c_str(),
             row.ok ? std::to_string(row.quality).c_str() : "", row.ok ? LocalTime(row.fileTime).c_str() : "",
             row.ok ? "" : std::to_string(row.errorCode).c_str(), CsvField(error).c_str());
      break;
    case Format::Json:
      if (row.ok) {
        printf("{\"scan\":%d,\"tag\":%s,\"value\":%u,\"hex\":\"%s\",\"quality\":%d,\"timestamp\":\"%s\"}\n", row.scan,
               JsonString(row.tag).c_str(), row.value, hex.c_str(), row.quality, LocalTime(row.fileTime).c_str());
      } else {
        printf("{\"scan\":%d,\"tag\":%s,\"error\":{\"code\":%d,\"message\":%s,\"gloss\":%s}}\n", row.scan,
               JsonString(row.tag).c_str(), row.errorCode, JsonString(row.message).c_str(),
               JsonString(Gloss(row.errorCode)).c_str());
      }
      break;
  }
  fflush(stdout);
}

void Report::Note(const std::string& text) const {
  if (format_ == Format::Table) {
    printf("%s\n", text.c_str());
  } else {
    fprintf(stderr, "%s\n", text.c_str());
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

void Report::Summary(int scans) const {
  std::vector<double> sorted = times_;
  std::sort(sorted.begin(), sorted.end());
  const double median = sorted.empty() ? 0 : sorted[sorted.size() / 2];
  const double worst = sorted.empty() ? 0 : sorted.back();
  std::string byCode;
  for (const auto& [code, count] : failuresByCode_) {
    byCode += (byCode.empty() ? "" : ", ") + std::to_string(count) + " x code " + std::to_string(code) + " (" +
              Gloss(code) + ")";
  }
  if (format_ == Format::Json) {
    std::string codes;
    for (const auto& [code, count] : failuresByCode_) {
      codes += (codes.empty() ? "" : ",") + std::string("\"") + std::to_string(code) + "\":" + std::to_string(count);
    }
    printf("{\"summary\":{\"scans\":%d,\"transactions\":%d,\"failures\":%d,\"failures_by_code\":{%s},"
           "\"median_ms\":%.1f,\"worst_ms\":%.1f}}\n",
           scans, transactions_, failures_, codes.c_str(), median, worst);
    return;
  }
  FILE* out = format_ == Format::Table ? stdout : stderr;
  fprintf(out, "summary: %d scan%s, %d transaction%s, %d failed%s%s%s; median %.1f ms, worst %.1f ms\n", scans,
          scans == 1 ? "" : "s", transactions_, transactions_ == 1 ? "" : "s", failures_,
          byCode.empty() ? "" : " (", byCode.c_str(), byCode.empty() ? "" : ")", median, worst);
}

}  // namespace qvpoll
