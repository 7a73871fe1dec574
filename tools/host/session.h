// The driver objects on one line, one per station, as a data server keeps
// them: the first opens the port, the others borrow its handle.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/host/driver_errors.h"
#include "tools/host/driver_module.h"
#include "tools/host/port_probe.h"
#include "tools/host/trace_tap.h"

namespace qvhost {

// One transaction as the user sees it.
struct Outcome {
  bool ok = false;
  double milliseconds = 0;
  int64_t unixMs = 0;  // when it ended
  DriverError error;
  // Why it failed, in the driver's words where its trace says more than
  // the code: "the controller refused (NAK)", "no reply", "line lost: ...".
  std::string reason;
  bool refused = false;   // the controller said no: it took nothing
  bool notSent = false;   // the request never left the port
  bool lineLost = false;  // the port is gone (an unplugged adapter)
};

// What happens to the line between transactions, for the user to see:
// "line lost", "line back".
using LineEvents = std::function<void(const std::string&)>;
using TraceLines = std::function<void(const std::vector<std::string>&)>;

class Session {
 public:
  Session() = default;
  ~Session() { Close(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool Create(DriverModule& module, const std::vector<int>& stations, std::string* error);
  // The first object, for work that needs no line (parsing tags).
  IDeviceDriver* Parser() const { return objects_.front()->driver; }
  // Says why the port cannot be used, with the driver's code and text.
  bool OpenLine(const LineRequest& line, int timeoutMs, std::string* error);
  // The first object alone, for --scan: one open per line setting, so
  // that each sets its time-out; Close() closes it.
  bool OpenFirst(const LineRequest& line, int timeoutMs, std::string* error) {
    open_ = OpenOne(0, line, timeoutMs, error);
    return open_;
  }
  // Runs one block on its station's object. After a lost line no request
  // goes out until the port has been opened again: the first transaction
  // after each back-off period (0.25 s, doubling to 5 s) tries that.
  Outcome Execute(BlockRequest& request);
  void Close();

  // The objects' trace file, read after every driver call that may add to
  // it; each batch of lines goes to `lines` (the user's trace).
  void ReadTrace(const std::string& path, TraceLines lines) {
    tap_.Start(path);
    traceLines_ = std::move(lines);
  }
  void OnLineEvent(LineEvents events) { events_ = std::move(events); }
  // Lines the objects traced since the last read (creation, opens).
  void FlushTrace() { TakeTrace(); }

 private:
  bool OpenOne(size_t index, const LineRequest& line, int timeoutMs, std::string* error);
  // Opens the port on the first object and lends its handle to the others.
  bool OpenOwnerAndLend(std::string* error);
  std::vector<std::string> TakeTrace();
  // False with the outcome to report while the line is down.
  bool LineUp(Outcome* outcome);

  std::vector<int> stations_;
  std::vector<std::unique_ptr<DriverObject>> objects_;
  bool open_ = false;
  LineRequest line_;
  int timeoutMs_ = 0;
  TraceTap tap_;
  TraceLines traceLines_;
  LineEvents events_;
  bool lost_ = false;
  int64_t nextTryMs_ = 0;
  int backOffMs_ = 0;
};

}  // namespace qvhost
