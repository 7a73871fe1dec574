#include "tools/qvpoll/scan_loop.h"

#include <string.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tools/qvpoll/signals.h"
#include "tools/qvpoll/timestamps.h"

namespace qvpoll {
namespace {

constexpr long kSleepSliceMs = 50;

Row RowOf(const Tag& tag, const Outcome& outcome, int scan) {
  Row row;
  row.scan = scan;
  row.station = tag.address.deviceAddress;
  row.tag = tag.text;
  row.write = tag.write;
  row.ok = outcome.ok;
  row.digits = ValueDigits(tag);
  row.unixMs = outcome.unixMs;
  row.error = outcome.error;
  if (tag.write) {
    row.value = tag.writeValue;
  } else if (outcome.ok) {
    uint32_t value = 0;
    memcpy(&value, tag.item.value, sizeof value);
    row.value = row.digits == 2 ? (value & 0xFF) : value;
    row.quality = tag.item.quality;
    const uint64_t stamp = (static_cast<uint64_t>(tag.item.timestamp.high) << 32) | tag.item.timestamp.low;
    if (stamp != 0) row.unixMs = UnixMsFromFileTime(stamp);
  }
  return row;
}

// The writes, each a block of its own; false when one failed and the run
// must stop there.
bool RunWrites(Session& session, Plan& plan, const Options& options, Report& report, std::string* stopped) {
  for (int station : plan.stations) {
    for (auto& block : GroupTags(session.Parser(), plan.writes, true, static_cast<int16_t>(station))) {
      if (StopRequested()) {
        *stopped = "interrupted";
        return false;
      }
      const Outcome outcome = session.Execute(block->request);
      report.Transaction(outcome.milliseconds, outcome.ok, outcome.error.code);
      const Tag& tag = *block->tags.front();
      report.Print(RowOf(tag, outcome, 0));
      if (!outcome.ok && !options.keepGoing) {
        *stopped = "the write " + tag.text + "=" + std::to_string(tag.writeValue) +
                   " failed, nothing after it was sent (--keep-going sends the rest)";
        return false;
      }
    }
  }
  return true;
}

void Pause(long milliseconds) {
  for (long waited = 0; waited < milliseconds && !StopRequested(); waited += kSleepSliceMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kSleepSliceMs, milliseconds - waited)));
  }
}

}  // namespace

RunResult Run(Session& session, Plan& plan, const Options& options, Report& report) {
  RunResult result;
  if (!RunWrites(session, plan, options, report, &result.stopped)) return result;
  if (plan.reads.empty()) return result;

  std::vector<std::unique_ptr<Block>> blocks;
  for (int station : plan.stations) {
    auto grouped = GroupTags(session.Parser(), plan.reads, false, static_cast<int16_t>(station));
    for (auto& block : grouped) blocks.push_back(std::move(block));
  }
  // Each tag's outcome in this scan, printed in the order typed.
  std::vector<Outcome> outcomes(plan.reads.size());
  for (long scan = 1; options.count == 0 || scan <= options.count; ++scan) {
    if (scan > 1) Pause(options.intervalMs);
    if (StopRequested()) break;
    std::vector<bool> done(plan.reads.size(), false);
    for (auto& block : blocks) {
      if (StopRequested()) break;
      const Outcome outcome = session.Execute(block->request);
      report.Transaction(outcome.milliseconds, outcome.ok, outcome.error.code);
      for (Tag* tag : block->tags) {
        const size_t index = static_cast<size_t>(tag - plan.reads.data());
        outcomes[index] = outcome;
        done[index] = true;
      }
    }
    for (size_t i = 0; i < plan.reads.size(); ++i) {
      if (done[i]) report.Print(RowOf(plan.reads[i], outcomes[i], static_cast<int>(scan)));
    }
    ++result.scans;
    if (StopRequested()) break;
  }
  if (StopRequested()) result.stopped = "interrupted";
  return result;
}

}  // namespace qvpoll
