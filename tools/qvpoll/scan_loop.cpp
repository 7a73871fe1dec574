#include "tools/qvpoll/scan_loop.h"

#include <string.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "tools/qvpoll/signals.h"
#include "tools/host/timestamps.h"

namespace qvpoll {
namespace {

constexpr long kSleepSliceMs = 50;

// What a failed write did to the controller. After a time-out or a
// garbled reply nobody knows whether it took the frame; only a refusal or
// a frame that never left the port is known not to have been written.
std::string WriteState(const qvhost::Outcome& outcome, bool withReason = true) {
  if (outcome.refused || outcome.notSent) return "not written";
  if (!withReason) return "unknown whether written";
  return "unknown (" + (outcome.reason.empty() ? qvhost::Describe(outcome.error) : outcome.reason) + ")";
}

bool OutputBroken(const Report& report, std::string* stopped) {
  if (report.OutputFailure().empty()) return false;
  *stopped = "the rows could not be written: " + report.OutputFailure();
  return true;
}

Row RowOf(const Plan& plan, const Value& value, const qvhost::Outcome& outcome, int scan) {
  Row row;
  row.scan = scan;
  row.station = value.station;
  row.tag = value.text;
  row.write = value.write;
  row.ok = outcome.ok;
  row.digits = ValueDigits(value);
  row.unixMs = outcome.unixMs;
  row.error = outcome.error;
  row.reason = outcome.reason;
  if (value.write && !outcome.ok) row.reason += (row.reason.empty() ? "" : "; ") + WriteState(outcome, false);
  if (value.write) {
    row.value = value.writeValue;
  } else if (outcome.ok) {
    const qvhost::Tag& first = plan.reads[value.first];
    row.value = ReadBits(plan, value);
    row.quality = first.item.quality;
    const uint64_t stamp = (static_cast<uint64_t>(first.item.timestamp.high) << 32) | first.item.timestamp.low;
    if (stamp != 0) row.unixMs = qvhost::UnixMsFromFileTime(stamp);
  }
  row.shown = qvhost::Show(plan.type, row.value, value.byteWide);
  // Said in the row: what was written is not what was typed, or what was
  // read is no number of the type.
  if (!value.note.empty()) row.reason = value.note + (row.reason.empty() ? "" : "; " + row.reason);
  if (row.ok && !row.shown.valid) row.reason = row.shown.why;
  return row;
}

qvhost::Outcome Execute(qvhost::Session& session, qvhost::Block& block, Report& report, const Hooks& hooks) {
  const qvhost::Outcome outcome = session.Execute(block.request);
  report.Transaction(block.request.deviceAddress, outcome.milliseconds, outcome.ok, outcome.error.code,
                     outcome.reason);
  if (hooks.afterTransaction) hooks.afterTransaction();
  return outcome;
}

// The writes, each register a block of its own, in the order typed; false
// when one failed and the run must stop there.
bool RunWrites(qvhost::Session& session, Plan& plan, const Options& options, Report& report, const Hooks& hooks,
               std::string* stopped) {
  std::map<const qvhost::Tag*, qvhost::Block*> blockOf;
  std::vector<std::unique_ptr<qvhost::Block>> blocks;
  for (int station : plan.stations) {
    for (auto& block : GroupTags(session.Parser(), plan.writes, true, static_cast<int16_t>(station))) {
      blockOf[block->tags.front()] = block.get();
      blocks.push_back(std::move(block));
    }
  }
  for (const Value& value : plan.writeValues) {
    qvhost::Outcome outcome;
    int sent = 0;
    for (int r = 0; r < value.registers; ++r) {
      if (StopRequested()) {
        *stopped = "interrupted";
        return false;
      }
      outcome = Execute(session, *blockOf.at(&plan.writes[value.first + r]), report, hooks);
      if (!outcome.ok) break;
      ++sent;
    }
    report.Print(RowOf(plan, value, outcome, 0));
    if (OutputBroken(report, stopped)) return false;
    if (!outcome.ok && !options.keepGoing) {
      *stopped = "the write " + value.text + "=" + value.typed + " failed, " +
                 (sent > 0 ? std::string("partly") : WriteState(outcome)) +
                 "; nothing after it was sent (--keep-going sends the rest)";
      if (sent > 0) {
        *stopped += "; " + plan.writes[value.first].text + " was written, " + plan.writes[value.first + sent].text +
                    ": " + WriteState(outcome) + "; a 32-bit write is two transactions";
      }
      return false;
    }
  }
  return true;
}

void Pause(long milliseconds) {
  for (long waited = 0; waited < milliseconds && !StopRequested(); waited += kSleepSliceMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kSleepSliceMs, milliseconds - waited)));
  }
}

// What --changes compares: a row is news when this differs from the last.
struct Seen {
  bool printed = false;
  bool ok = false;
  uint32_t value = 0;
};

bool IsNews(Seen& seen, const Row& row) {
  const bool news = !seen.printed || !row.ok || !seen.ok || row.value != seen.value;
  seen = {true, row.ok, row.value};
  return news;
}

}  // namespace

RunResult Run(qvhost::Session& session, Plan& plan, const Options& options, Report& report, const Hooks& hooks) {
  RunResult result;
  if (!RunWrites(session, plan, options, report, hooks, &result.stopped)) {
    result.interrupted = StopRequested();
    result.outputFailed = !report.OutputFailure().empty();
    return result;
  }
  if (plan.reads.empty()) return result;

  std::vector<std::unique_ptr<qvhost::Block>> blocks;
  for (int station : plan.stations) {
    auto grouped = GroupTags(session.Parser(), plan.reads, false, static_cast<int16_t>(station));
    for (auto& block : grouped) blocks.push_back(std::move(block));
  }
  // Each register's outcome in this scan; rows follow the values typed.
  std::vector<qvhost::Outcome> outcomes(plan.reads.size());
  std::vector<Seen> seen(plan.readValues.size());
  for (long scan = 1; options.count == 0 || scan <= options.count; ++scan) {
    if (scan > 1) Pause(options.intervalMs);
    if (StopRequested()) break;
    std::vector<bool> done(plan.reads.size(), false);
    for (auto& block : blocks) {
      if (StopRequested()) break;
      const qvhost::Outcome outcome = Execute(session, *block, report, hooks);
      for (qvhost::Tag* tag : block->tags) {
        const size_t index = static_cast<size_t>(tag - plan.reads.data());
        outcomes[index] = outcome;
        done[index] = true;
      }
    }
    for (size_t v = 0; v < plan.readValues.size(); ++v) {
      const Value& value = plan.readValues[v];
      bool complete = true;
      qvhost::Outcome outcome = outcomes[value.first];
      for (int r = 0; r < value.registers; ++r) {
        complete = complete && done[value.first + r];
        if (!outcomes[value.first + r].ok && outcome.ok) outcome = outcomes[value.first + r];
      }
      if (!complete) continue;
      const Row row = RowOf(plan, value, outcome, static_cast<int>(scan));
      if (IsNews(seen[v], row) || !options.changes) report.Print(row);
    }
    ++result.scans;
    if (OutputBroken(report, &result.stopped)) {
      result.outputFailed = true;
      return result;
    }
    if (StopRequested()) break;
  }
  if (StopRequested()) {
    result.stopped = "interrupted";
    result.interrupted = true;
  }
  return result;
}

}  // namespace qvpoll
