// A write of one bit of a D register, for a bool tag: the controller has
// no such write, so the register is read fresh (its block, from the line,
// never the cache), the bit changed and the whole register written back.
#include <limits.h>

#include "tools/qvgateway/line/line_owner.h"

namespace qvgateway {

LineResult LineOwner::WriteRegisterBit(const StationRules& rules, int index, int bit, bool value,
                                       const std::function<bool()>& clientGone) {
  auto job = std::make_shared<LineJob>();
  job->kind = LineJob::Kind::WriteRegisterBit;
  job->station = static_cast<size_t>(rules.index);
  job->first = index;
  job->bit = bit;
  job->bits = {value};
  return Queue(Priority::Write, job, clientGone);
}

LineResult LineOwner::ExecuteRegisterBit(Station& station, const LineJob& job) {
  // Every bool tag's register is in the plan's blocks.
  const int block = station.plan->BlockOf(Area::D, job.first);
  if (block < 0 || job.bit < 0 || job.bit > 15 || job.bits.size() != 1) return LineFailed(LineReason::Refused);
  const LineResult read = ReadBlock(station, block);
  if (!read.ok()) return read;
  CachedValue fresh;
  if (station.cache.Look(Area::D, job.first, INT_MAX, SteadyMs(), &fresh) == Quality::Bad) {
    return LineFailed(LineReason::Refused);
  }
  const uint16_t mask = static_cast<uint16_t>(1u << job.bit);
  const uint16_t word = job.bits.front() ? static_cast<uint16_t>(fresh.value | mask)
                                         : static_cast<uint16_t>(fresh.value & ~mask);
  return WriteOne(station, Area::D, job.first, word);
}

}  // namespace qvgateway
