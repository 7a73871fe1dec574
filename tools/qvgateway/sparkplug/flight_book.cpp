#include "tools/qvgateway/sparkplug/flight_book.h"

#include <algorithm>

namespace qvgateway {

void FlightBook::Sent(int mid, size_t records, bool historical) {
  flights_.push_back({mid, mid < 0, records, historical});
  records_ += records;
}

void FlightBook::Acknowledged(int mid) {
  if (mid < 0) return;
  for (Flight& f : flights_) {
    if (f.mid == mid) f.acknowledged = true;
  }
}

FlightBook::Landed FlightBook::TakeLanded() {
  Landed landed;
  while (!flights_.empty() && flights_.front().acknowledged) {
    const Flight& f = flights_.front();
    landed.records += f.records;
    if (f.historical) landed.historical += f.records;
    records_ -= f.records;
    flights_.pop_front();
  }
  return landed;
}

void FlightBook::Dropped(uint64_t n) {
  for (Flight& f : flights_) {
    if (n == 0) break;
    const size_t gone = static_cast<size_t>(std::min<uint64_t>(f.records, n));
    f.records -= gone;
    records_ -= gone;
    n -= gone;
  }
}

void FlightBook::Clear() {
  flights_.clear();
  records_ = 0;
}

}  // namespace qvgateway
