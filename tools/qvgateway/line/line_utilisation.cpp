#include "tools/qvgateway/line/line_utilisation.h"

#include <algorithm>
#include <chrono>

#include "tools/qvgateway/line/line_owner.h"

namespace qvgateway {

void LineUtilisation::Record(int64_t steadyMs, double busyMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (haveReading_ && steadyMs <= lastMs_) return;  // no time passed: nothing to say
  if (haveReading_ && !shares_.empty()) {
    const double share = (busyMs - lastBusyMs_) / static_cast<double>(steadyMs - lastMs_);
    shares_[next_] = static_cast<float>(std::min(1.0, std::max(0.0, share)));
    next_ = (next_ + 1) % shares_.size();
    count_ = std::min(count_ + 1, shares_.size());
  }
  haveReading_ = true;
  lastMs_ = steadyMs;
  lastBusyMs_ = busyMs;
}

std::vector<float> LineUtilisation::Shares() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<float> out;
  out.reserve(count_);
  const size_t first = (next_ + shares_.size() - count_) % std::max<size_t>(shares_.size(), 1);
  for (size_t i = 0; i < count_; ++i) out.push_back(shares_[(first + i) % shares_.size()]);
  return out;
}

void LineUtilisation::Start(std::function<double()> busyMs) {
  Stop();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
  }
  thread_ = std::thread([this, busyMs] {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
      lock.unlock();
      Record(SteadyMs(), busyMs());
      lock.lock();
      wake_.wait_for(lock, std::chrono::milliseconds(kIntervalMs), [this] { return stopping_; });
    }
  });
}

void LineUtilisation::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

}  // namespace qvgateway
