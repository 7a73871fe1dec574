// The driver objects on one line, one per station, as a data server keeps
// them: the first opens the port, the others borrow its handle.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/host/driver_errors.h"
#include "tools/host/driver_module.h"
#include "tools/host/port_probe.h"

namespace qvpoll {

// One transaction as the user sees it.
struct Outcome {
  bool ok = false;
  double milliseconds = 0;
  int64_t unixMs = 0;  // when it ended
  DriverError error;
};

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
  // Runs one block on its station's object.
  Outcome Execute(BlockRequest& request);
  void Close();

 private:
  bool OpenOne(size_t index, const LineRequest& line, int timeoutMs, std::string* error);

  std::vector<int> stations_;
  std::vector<std::unique_ptr<DriverObject>> objects_;
  bool open_ = false;
};

}  // namespace qvpoll
