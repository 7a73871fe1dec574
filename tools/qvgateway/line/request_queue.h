// The line's queue: writes first, then client reads that need the line,
// then cyclic polls; within each, the stations take turns, and each
// station's requests keep their order. Client requests are bounded (a
// full queue is refused at once, never grown); polls are bounded by the
// plan, one per block at most, and do not take clients' places. Not
// thread-safe: the line owner locks around it.
#pragma once

#include <stddef.h>

#include <deque>
#include <vector>

namespace qvgateway {

enum class Priority { Write = 0, ClientRead = 1, Poll = 2 };
constexpr int kPriorities = 3;

template <typename Job>
class RequestQueue {
 public:
  RequestQueue(size_t capacity, size_t stations) : capacity_(capacity) {
    for (auto& level : levels_) level.perStation.resize(stations);
  }

  // False when the client requests already fill the queue.
  bool Push(Priority priority, size_t station, Job job) {
    if (priority != Priority::Poll && clientRequests_ >= capacity_) return false;
    if (priority != Priority::Poll) ++clientRequests_;
    levels_[static_cast<int>(priority)].perStation[station].push_back(std::move(job));
    return true;
  }

  bool Pop(Job* job, Priority* priority = nullptr) {
    for (int p = 0; p < kPriorities; ++p) {
      Level& level = levels_[p];
      const size_t n = level.perStation.size();
      for (size_t k = 0; k < n; ++k) {
        const size_t station = (level.next + k) % n;
        auto& fifo = level.perStation[station];
        if (fifo.empty()) continue;
        *job = std::move(fifo.front());
        fifo.pop_front();
        level.next = (station + 1) % n;
        if (p != static_cast<int>(Priority::Poll)) --clientRequests_;
        if (priority != nullptr) *priority = static_cast<Priority>(p);
        return true;
      }
    }
    return false;
  }

  size_t ClientRequests() const { return clientRequests_; }
  bool Empty() const {
    for (const auto& level : levels_) {
      for (const auto& fifo : level.perStation) {
        if (!fifo.empty()) return false;
      }
    }
    return true;
  }

 private:
  struct Level {
    std::vector<std::deque<Job>> perStation;
    size_t next = 0;
  };
  size_t capacity_;
  size_t clientRequests_ = 0;
  Level levels_[kPriorities];
};

}  // namespace qvgateway
