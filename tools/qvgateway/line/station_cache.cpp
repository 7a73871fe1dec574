#include "tools/qvgateway/line/station_cache.h"

namespace qvgateway {

StationCache::StationCache() : d_(kDRegisters), m_(kMGroups) {}

void StationCache::StoreGood(Area area, int first, const std::vector<uint16_t>& values, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto& cells = Cells(area);
  for (size_t i = 0; i < values.size(); ++i) cells[first + i] = CachedValue{values[i], true, nowMs, -1, true};
}

void StationCache::StoreBad(Area area, int first, int count, int code) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto& cells = Cells(area);
  for (int i = first; i < first + count; ++i) {
    cells[i].good = false;
    cells[i].code = code;
    cells[i].tried = true;
  }
}

Quality StationCache::Look(Area area, int index, int maxAgeMs, int64_t nowMs, CachedValue* value) const {
  std::lock_guard<std::mutex> lock(mutex_);
  *value = Cells(area)[index];
  if (!value->good) return Quality::Bad;
  return nowMs - value->atMs > maxAgeMs ? Quality::Stale : Quality::Good;
}

void StationCache::StoreWritten(Area area, int index, uint16_t value, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  Cells(area)[index] = CachedValue{value, true, nowMs, -1, true};
}

bool StationCache::Fresh(Area area, int first, int count, int maxAgeMs, int64_t nowMs, uint16_t* values) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto& cells = Cells(area);
  for (int i = 0; i < count; ++i) {
    const CachedValue& c = cells[first + i];
    if (!c.good || nowMs - c.atMs > maxAgeMs) return false;
    values[i] = c.value;
  }
  return true;
}

int64_t StationCache::OldestAgeMs(const RegisterSet& readable, int64_t nowMs) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int64_t oldest = -1;
  for (Area area : {Area::D, Area::M}) {
    const auto& cells = Cells(area);
    for (size_t i = 0; i < cells.size(); ++i) {
      if (!readable.Has(area, static_cast<int>(i)) || !cells[i].good) continue;
      if (nowMs - cells[i].atMs > oldest) oldest = nowMs - cells[i].atMs;
    }
  }
  return oldest;
}

}  // namespace qvgateway
