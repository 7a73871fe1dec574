// The last value of every register a station's clients may read, with
// when it was read and whether that read was good: a value is served only
// while it is good and at most max_age_ms old. A failed read makes the
// block's values bad, with why, so that a failure is never hidden behind
// an older value. Beside the latest read it keeps when the value or its
// quality last changed: that is the time every side shows as the value's
// time, so that a retained MQTT payload and the status page agree.
// Thread-safe: the line owner writes, client threads read.
#pragma once

#include <stdint.h>

#include <mutex>
#include <vector>

#include "tools/qvgateway/line/line_result.h"
#include "tools/qvgateway/line/register_rules.h"

namespace qvgateway {

struct CachedValue {
  uint16_t value = 0;
  bool good = false;
  int64_t atMs = 0;         // steady clock: the latest reply that gave this value (good only)
  int64_t changedAtMs = 0;  // steady clock: when the value or its quality last changed; 0 never
  int code = -1;            // the driver's code of the read that failed, -1 none
  LineReason reason = LineReason::None;  // why it is bad
  bool tried = false;  // false until its first read or write, good or not (again after a lost port came back)
};

// One quality model for every adapter: Modbus serves only Good (and
// answers an exception otherwise); a publisher can show all three.
enum class Quality { Good, Stale, Bad };

class StationCache {
 public:
  StationCache();

  // `maxAgeMs`: a value older than this was stale, so a read that gives it
  // again changes its quality back to good.
  void StoreGood(Area area, int first, const std::vector<uint16_t>& values, int64_t nowMs, int maxAgeMs);
  void StoreBad(Area area, int first, int count, const LineResult& why, int64_t nowMs);
  // Every value: bad with `why` (a lost port, a demoted station).
  void AllBad(const LineResult& why, int64_t nowMs);
  // Every value bad with `from` as its reason becomes "not read yet"
  // (the port is back: the loss no longer holds, no new read has come).
  void ForgetReason(LineReason from, int64_t nowMs);
  // A write the controller acknowledged: it holds that value now.
  void StoreWritten(Area area, int index, uint16_t value, int64_t nowMs, int maxAgeMs);

  // True with the values when every one is good and at most `maxAgeMs` old.
  bool Fresh(Area area, int first, int count, int maxAgeMs, int64_t nowMs, uint16_t* values) const;
  // One value and its quality; Bad for a value never read or whose last
  // read failed.
  Quality Look(Area area, int index, int maxAgeMs, int64_t nowMs, CachedValue* value) const;
  // The age of the oldest good value among `readable`, or -1 when none is.
  int64_t OldestAgeMs(const RegisterSet& readable, int64_t nowMs) const;

 private:
  void SetBad(CachedValue& cell, const LineResult& why, int64_t nowMs);
  void SetGood(CachedValue& cell, uint16_t value, int64_t nowMs, int maxAgeMs);
  std::vector<CachedValue>& Cells(Area area) { return area == Area::D ? d_ : m_; }
  const std::vector<CachedValue>& Cells(Area area) const { return area == Area::D ? d_ : m_; }

  mutable std::mutex mutex_;
  std::vector<CachedValue> d_, m_;
};

}  // namespace qvgateway
