// The line's busy share over about the last minute, from readings of its
// busy time (LineOwner::BusyMs): each scrape adds a reading, at most one a
// second is kept, and the share is taken against the newest reading at
// least a window old, or the first one while the gateway is younger.
// Nothing runs between scrapes.
#pragma once

#include <stdint.h>

#include <deque>
#include <mutex>

namespace qvgateway {

class BusyWindow {
 public:
  BusyWindow(int64_t windowMs, int64_t startMs, double startBusyMs = 0) : windowMs_(windowMs) {
    readings_.push_back({startMs, startBusyMs});
  }

  // The share of the time up to `nowMs` the line was busy, 0..1.
  double Share(int64_t nowMs, double busyMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (nowMs - readings_.back().atMs >= kSpacingMs) readings_.push_back({nowMs, busyMs});
    while (readings_.size() > 1 && readings_[1].atMs <= nowMs - windowMs_) readings_.pop_front();
    const Reading& base = readings_.front();
    if (nowMs <= base.atMs) return 0;
    // A transaction is added whole when it ends, so one that began before
    // the base reading can push the share a little past 1.
    const double share = (busyMs - base.busyMs) / static_cast<double>(nowMs - base.atMs);
    return share < 0 ? 0 : share > 1 ? 1 : share;
  }

 private:
  static constexpr int64_t kSpacingMs = 1000;
  struct Reading {
    int64_t atMs;
    double busyMs;
  };
  const int64_t windowMs_;
  std::mutex mutex_;
  std::deque<Reading> readings_;
};

}  // namespace qvgateway
