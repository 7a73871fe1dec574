// What the summary counts: transactions, failures by code, and times, for
// the whole run and for each station.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qvpoll {

struct Tally {
  int transactions = 0;
  int failures = 0;
  std::map<int, int> failuresByCode;
  std::map<std::string, int> failuresByReason;  // the reason's first clause: "the controller refused (NAK)"
  std::vector<double> times;  // milliseconds

  void Add(double milliseconds, bool ok, int errorCode, const std::string& reason);
  // "3 transactions, 1 failed (33.3%: 1 x code 5 (receive time-out)); min
  // 5.0 ms, median 6.1 ms, max 300.2 ms"
  std::string Text() const;
  nlohmann::ordered_json Json() const;
};

class Statistics {
 public:
  void Add(int station, double milliseconds, bool ok, int errorCode, const std::string& reason) {
    total_.Add(milliseconds, ok, errorCode, reason);
    stations_[station].Add(milliseconds, ok, errorCode, reason);
  }
  const Tally& Total() const { return total_; }
  const std::map<int, Tally>& Stations() const { return stations_; }

 private:
  Tally total_;
  std::map<int, Tally> stations_;
};

}  // namespace qvpoll
