// What the line owner counts for /metrics beyond a station's health
// record: each transaction's outcome and time, per station; client
// requests refused because the queue was full; how often the port was
// lost. Bumped on the line thread without a lock; read by the scrape.
#pragma once

#include <stddef.h>

#include <memory>
#include <vector>

#include "tools/qvgateway/http/metrics.h"

namespace qvgateway {

enum class TransactionOutcome { Ok, Timeout, BadReply, OtherError };
constexpr int kTransactionOutcomes = 4;

// The driver's code 5 is a time-out, 6 a refused or garbled reply; any
// other failure (the port would not take the request, ...) is "error".
inline TransactionOutcome OutcomeOf(bool ok, int driverCode) {
  if (ok) return TransactionOutcome::Ok;
  return driverCode == 5 ? TransactionOutcome::Timeout
         : driverCode == 6 ? TransactionOutcome::BadReply
                           : TransactionOutcome::OtherError;
}

inline const char* OutcomeLabel(TransactionOutcome outcome) {
  static const char* const kLabels[kTransactionOutcomes] = {"ok", "timeout", "bad_reply", "error"};
  return kLabels[static_cast<int>(outcome)];
}

// Seconds. A register at 9600 baud takes about 30 ms, a block of 32 about
// 160 ms, a time-out the configured wait (1 s by default): the bounds
// separate those, and 57600 baud's few milliseconds.
inline std::vector<double> TransactionBuckets() {
  return {0.005, 0.01, 0.025, 0.05, 0.075, 0.1, 0.15, 0.25, 0.5, 1, 2.5};
}

class LineMetrics {
 public:
  explicit LineMetrics(size_t stations) {
    for (size_t i = 0; i < stations; ++i) stations_.push_back(std::make_unique<PerStation>());
  }
  void Transaction(size_t station, TransactionOutcome outcome, double milliseconds) {
    PerStation& s = *stations_[station];
    s.outcomes[static_cast<int>(outcome)].Add();
    s.seconds.Observe(milliseconds / 1000);
  }
  uint64_t Transactions(size_t station, TransactionOutcome outcome) const {
    return stations_[station]->outcomes[static_cast<int>(outcome)].Value();
  }
  Histogram::Snapshot Times(size_t station) const { return stations_[station]->seconds.Take(); }

  Counter queueFull;  // client requests refused at once: the queue was full
  Counter portLost;   // the port went away (an unplugged adapter)

 private:
  struct PerStation {
    Counter outcomes[kTransactionOutcomes];
    Histogram seconds{TransactionBuckets()};
  };
  std::vector<std::unique_ptr<PerStation>> stations_;
};

}  // namespace qvgateway
