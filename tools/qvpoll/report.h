// What qvpoll prints: rows per scan in table, csv or json form, and the
// summary at the end.
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace qvpoll {

enum class Format { Table, Csv, Json };

struct Row {
  int scan;
  std::string tag;
  bool ok;
  uint32_t value;
  int digits;  // hex digits to show: 4 for "D", 2 for "M"
  int quality;
  uint64_t fileTime;
  int errorCode;
  std::string message;  // UTF-8
};

class Report {
 public:
  explicit Report(Format format) : format_(format) {}
  void Header() const;
  void Print(const Row& row) const;
  void Transaction(double milliseconds, bool ok, int errorCode);
  void Note(const std::string& text) const;  // a write's outcome, a failure
  void Summary(int scans) const;
  int Failures() const { return failures_; }

 private:
  Format format_;
  int transactions_ = 0;
  int failures_ = 0;
  std::map<int, int> failuresByCode_;
  std::vector<double> times_;
};

// The driver's GBK message in UTF-8, and a short English gloss of the code.
std::string GbkToUtf8(const char* gbk);
const char* Gloss(int code);
// The driver's code behind one of its messages; the host sees only the
// text. kPlatformError for the generic message of a failed port write.
constexpr int kPlatformError = -2;
int ErrorCodeOf(const char* gbk);
std::string LocalTime(uint64_t fileTime);

}  // namespace qvpoll
