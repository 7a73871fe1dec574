// The line's utilisation over the last minutes, for the status page's
// chart. The line owner only sums its transactions' time; a reading of
// that sum about once a second gives each interval's busy share. The
// shares are kept in a ring of fixed size, so memory stays bounded
// however long the gateway runs, and they are read on a thread of their
// own, so the history has no gaps while nobody looks at the page.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qvgateway {

class LineUtilisation {
 public:
  static constexpr int kIntervalMs = 1000;
  static constexpr size_t kTenMinutes = 600;

  explicit LineUtilisation(size_t capacity = kTenMinutes) : shares_(capacity) {}
  ~LineUtilisation() { Stop(); }
  LineUtilisation(const LineUtilisation&) = delete;
  LineUtilisation& operator=(const LineUtilisation&) = delete;

  // The busy time so far (`busyMs`) at `steadyMs`: from the second reading
  // on, each adds the share of the time since the one before that the
  // line was busy. A transaction is counted when it ends, so one that
  // began in an earlier interval can push a share past 1: it is kept at 1.
  void Record(int64_t steadyMs, double busyMs);
  // The shares, oldest first, at most the capacity.
  std::vector<float> Shares() const;

  // Reads `busyMs` every kIntervalMs until Stop.
  void Start(std::function<double()> busyMs);
  void Stop();

 private:
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<float> shares_;  // a ring: next_ is where the next one goes
  size_t next_ = 0, count_ = 0;
  bool haveReading_ = false;
  int64_t lastMs_ = 0;
  double lastBusyMs_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace qvgateway
