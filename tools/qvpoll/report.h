// What qvpoll prints: one row per write and per read tag and scan, in
// table, CSV or JSON form, and the summary at the end.
#pragma once

#include <stdint.h>

#include <string>

#include "tools/host/driver_errors.h"
#include "tools/qvpoll/options.h"
#include "tools/qvpoll/statistics.h"
#include "tools/qvpoll/text_output.h"
#include "tools/host/value_types.h"

namespace qvpoll {

struct Row {
  int scan = 0;  // 0 for a write: writes go out once, before the first scan
  int station = 0;
  std::string tag;  // trimmed, as typed
  bool write = false;
  bool ok = false;
  uint32_t value = 0;  // the bits read, or to be written
  int digits = 4;      // hex digits: 2 for M, 4 for D, 8 for two D registers
  qvhost::ShownValue shown;    // the value as --type shows it
  int quality = 0;     // reads only
  int64_t unixMs = 0;  // the driver's stamp for a good read, else when the outcome was seen
  qvhost::DriverError error;
  std::string reason;  // why it failed, beyond the code; for a value the type cannot show, why
};

class Report {
 public:
  // `valueWidth`: the widest value the run's type shows (qvhost::ShownWidth), so
  // that the table's columns stay aligned.
  Report(Format format, RowOutput& output, bool utc, bool quiet, int valueWidth = 8)
      : format_(format), output_(output), utc_(utc), quiet_(quiet), valueWidth_(valueWidth) {}
  // Into an empty output only, so that appended files keep one header.
  void Header();
  void Print(const Row& row);
  void Transaction(int station, double milliseconds, bool ok, int errorCode, const std::string& reason) {
    statistics_.Add(station, milliseconds, ok, errorCode, reason);
  }
  // `stopped`: why the run ended early, empty when it did not.
  void Summary(int scans, const std::string& stopped);
  int Failures() const { return statistics_.Total().failures; }
  // Why the rows could not be written; empty while they could.
  const std::string& OutputFailure() const { return output_.Failure(); }

 private:
  std::string TableRow(const Row& row) const;
  std::string CsvRow(const Row& row) const;
  std::string JsonRow(const Row& row) const;

  Format format_;
  RowOutput& output_;
  bool utc_;
  bool quiet_;
  int valueWidth_;
  Statistics statistics_;
};

}  // namespace qvpoll
