#include "tools/qvgateway/line/station_cache.h"

namespace qvgateway {

StationCache::StationCache() : d_(kDRegisters), m_(kMGroups) {}

void StationCache::SetGood(CachedValue& cell, uint16_t value, int64_t nowMs, int maxAgeMs) {
  const bool same = cell.good && cell.value == value && nowMs - cell.atMs <= maxAgeMs;
  if (!same) cell.changedAtMs = nowMs;
  cell.value = value;
  cell.good = true;
  cell.atMs = nowMs;
  cell.code = -1;
  cell.reason = LineReason::None;
  cell.tried = true;
}

void StationCache::SetBad(CachedValue& cell, const LineResult& why, int64_t nowMs) {
  if (cell.good || cell.code != why.driverCode || cell.reason != why.reason) cell.changedAtMs = nowMs;
  cell.good = false;
  cell.code = why.driverCode;
  cell.reason = why.reason;
  cell.tried = true;
}

void StationCache::StoreGood(Area area, int first, const std::vector<uint16_t>& values, int64_t nowMs,
                             int maxAgeMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto& cells = Cells(area);
  for (size_t i = 0; i < values.size(); ++i) SetGood(cells[first + i], values[i], nowMs, maxAgeMs);
}

void StationCache::StoreBad(Area area, int first, int count, const LineResult& why, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto& cells = Cells(area);
  for (int i = first; i < first + count; ++i) SetBad(cells[i], why, nowMs);
}

void StationCache::AllBad(const LineResult& why, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto* cells : {&d_, &m_}) {
    for (CachedValue& cell : *cells) SetBad(cell, why, nowMs);
  }
}

void StationCache::ForgetReason(LineReason from, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto* cells : {&d_, &m_}) {
    for (CachedValue& cell : *cells) {
      if (cell.good || cell.reason != from) continue;
      SetBad(cell, LineResult{}, nowMs);
      cell.tried = false;  // not read since that reason went away
    }
  }
}

Quality StationCache::Look(Area area, int index, int maxAgeMs, int64_t nowMs, CachedValue* value) const {
  std::lock_guard<std::mutex> lock(mutex_);
  *value = Cells(area)[index];
  if (!value->good) return Quality::Bad;
  return nowMs - value->atMs > maxAgeMs ? Quality::Stale : Quality::Good;
}

void StationCache::StoreWritten(Area area, int index, uint16_t value, int64_t nowMs, int maxAgeMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  SetGood(Cells(area)[index], value, nowMs, maxAgeMs);
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
