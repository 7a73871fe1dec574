// The line owner's work on the line: reads of the plan's blocks, writes of
// one register each, coil groups read and written back, demotion and
// probes, a lost port and its reopening. Runs on the line owner's thread.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tools/host/host_blocks.h"
#include "tools/qvgateway/service/gateway_log.h"
#include "tools/qvgateway/line/line_owner.h"

namespace qvgateway {
namespace {

constexpr int kCodeTimeout = 5;
constexpr int kCodeBadData = 6;

// A block made for one register, outside the plan: a write, or a coil
// group read before it is written back.
struct SingleBlock {
  std::vector<qvhost::Tag> tags;
  std::vector<std::unique_ptr<qvhost::Block>> blocks;
};

bool MakeSingle(IDeviceDriver* parser, int station, Area area, int index, bool write, uint16_t value,
                SingleBlock* single, std::string* why) {
  qvhost::Tag tag;
  if (!ParseRegister(parser, area, index, station, &tag.address, why)) return false;
  tag.text = area == Area::D ? "D" + std::to_string(index) : "M" + std::to_string(index * 10);
  tag.write = write;
  tag.writeValue = value;
  single->tags.push_back(tag);
  single->blocks = qvhost::GroupTags(parser, single->tags, write, static_cast<int16_t>(station));
  return single->blocks.size() == 1;
}

uint16_t ItemValue(const qvhost::Tag& tag) {
  uint32_t value = 0;
  memcpy(&value, tag.item.value, sizeof value);
  return static_cast<uint16_t>(value);
}

std::string Name(Area area, int index) {
  return area == Area::D ? "D" + std::to_string(index) : "M" + std::to_string(index * 10);
}

}  // namespace

void LineOwner::WaitQuietLine() {
  while (!stopping_) {
    const int64_t left = quietUntilMs_ - SteadyMs();
    if (left <= 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(left < 20 ? left : 20));
  }
}

LineResult LineOwner::Transact(Station& station, BlockRequest& request) {
  WaitQuietLine();
  const qvhost::Outcome outcome = session_.Execute(request);
  const int number = station.plan->config->number;
  // A lost port is no fault of the station's: nothing is counted.
  if (outcome.lineLost) {
    if (lineUp_) LoseLine();
    return LineFailed(LineReason::PortLost);
  }
  metrics_.Transaction(static_cast<size_t>(station.plan->rules.index), OutcomeOf(outcome.ok, outcome.error.code),
                       outcome.milliseconds);
  if (!lineUp_) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lineUp_ = true;
      lineSinceMs_ = SteadyMs();
      for (auto& s : stations_) s->nextPollMs = SteadyMs();
    }
    for (auto& s : stations_) s->cache.ForgetReason(LineReason::PortLost, SteadyMs());
    LogEvent("port " + device_ + " back: serving again");
  }
  std::string event;
  LineResult result;
  bool demotedNow = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    busyMs_ += outcome.milliseconds;
    StationHealth& h = station.health;
    ++h.transactions;
    h.lastTransactionMs = outcome.milliseconds;
    h.lastGood = outcome.ok;
    if (outcome.ok) {
      h.consecutiveTimeouts = 0;
      if (h.demoted) {
        h.demoted = false;
        event = "station " + std::to_string(number) + " restored: it answered again";
      }
    } else {
      h.lastError = outcome.error.code;
      if (outcome.error.code == kCodeBadData) {
        ++h.badReplies;
        result = LineFailed(LineReason::Refused, outcome.error.code);
      } else {
        result = LineFailed(LineReason::Silent, outcome.error.code);
        if (outcome.error.code == kCodeTimeout) {
          // The controller may still answer. The driver clears what
          // arrived before its next request, but a reply that comes while
          // that request waits would be taken as its answer, even by a
          // write as its acknowledgement: the line stays quiet for one
          // more time-out first, so a late reply lands in the cleared
          // queue. (A reply later than twice the time-out is past it.)
          quietUntilMs_ = SteadyMs() + config_.line.timeoutMs;
          ++h.timeouts;
          ++h.consecutiveTimeouts;
        }
        const int64_t until = SteadyMs() + 1000LL * config_.line.demoteS;
        if (h.demoted) {
          h.demotedUntilMs = until;
        } else if (h.consecutiveTimeouts >= config_.line.demoteAfter) {
          h.demoted = true;
          h.demotedSinceMs = SteadyMs();
          h.demotedUntilMs = until;
          demotedNow = true;
          event = "station " + std::to_string(number) + " demoted: " + std::to_string(h.consecutiveTimeouts) +
                  " time-outs in a row; its requests are refused for " + std::to_string(config_.line.demoteS) +
                  " s, then one probe";
        }
      }
    }
  }
  // Its blocks not tried before it went silent will not be read until the
  // probe: every value of a demoted station is bad, with why.
  if (demotedNow) station.cache.AllBad(LineFailed(LineReason::Demoted, outcome.error.code), SteadyMs());
  // A demotion is a warning; a station answering again is worth a notice.
  if (!event.empty()) LogEvent(demotedNow ? Severity::Warning : Severity::Notice, event);
  return result;
}

LineResult LineOwner::ValueReason(const Station& station, const LineResult& failed) const {
  std::lock_guard<std::mutex> lock(mutex_);
  // Once demoted, that is why every value of the station is bad, whatever
  // failed last.
  if (station.health.demoted) return LineFailed(LineReason::Demoted, station.health.lastError);
  return LineFailed(failed.reason, failed.driverCode);
}

LineResult LineOwner::ReadRetried(Station& station, qvhost::Block& block) {
  LineResult result;
  for (int attempt = 0; attempt <= config_.line.retries; ++attempt) {
    result = Transact(station, block.request);
    // A stopping gateway finishes the transaction on the line, not its retries.
    if (result.ok() || !lineUp_ || station.health.demoted || stopping_) break;
  }
  return result;
}

LineResult LineOwner::ReadBlock(Station& station, int block) {
  qvhost::Block& driverBlock = *station.plan->driverBlocks[static_cast<size_t>(block)];
  const PlanBlock& b = station.plan->blocks[static_cast<size_t>(block)];
  const LineResult result = ReadRetried(station, driverBlock);
  if (!result.ok()) {
    station.cache.StoreBad(b.area, b.first, b.last - b.first + 1, ValueReason(station, result), SteadyMs());
    return result;
  }
  const int64_t now = SteadyMs();
  for (const qvhost::Tag* tag : driverBlock.tags) {
    const int index = b.area == Area::D ? tag->address.registerAddress : tag->address.registerAddress / 10;
    station.cache.StoreGood(b.area, index, {ItemValue(*tag)}, now, station.plan->config->maxAgeMs);
  }
  return LineDone();
}

LineResult LineOwner::ReadGroup(Station& station, int group, uint8_t* value) {
  SingleBlock single;
  std::string why;
  if (!MakeSingle(session_.Parser(), station.plan->config->number, Area::M, group, false, 0, &single, &why)) {
    return LineFailed(LineReason::Refused);
  }
  const LineResult result = ReadRetried(station, *single.blocks.front());
  if (!result.ok()) return result;
  *value = static_cast<uint8_t>(ItemValue(single.tags.front()));
  if (station.plan->rules.readable.Has(Area::M, group)) station.cache.StoreWritten(Area::M, group, *value, SteadyMs(), station.plan->config->maxAgeMs);
  return LineDone();
}

LineResult LineOwner::WriteOne(Station& station, Area area, int index, uint16_t value) {
  SingleBlock single;
  std::string why;
  if (!MakeSingle(session_.Parser(), station.plan->config->number, area, index, true, value, &single, &why)) {
    return LineFailed(LineReason::Refused);
  }
  // Never sent twice: a write whose reply was lost may have been done.
  const LineResult result = Transact(station, single.blocks.front()->request);
  if (result.ok() && station.plan->rules.readable.Has(area, index)) {
    station.cache.StoreWritten(area, index, value, SteadyMs(), station.plan->config->maxAgeMs);
  } else if (!result.ok() && station.plan->rules.readable.Has(area, index)) {
    // What the register holds now is unknown.
    station.cache.StoreBad(area, index, 1, ValueReason(station, result), SteadyMs());
  }
  return result;
}

void LineOwner::Execute(const JobPtr& job) {
  Station& station = *stations_[job->station];
  const int number = station.plan->config->number;
  LineResult result;
  std::vector<std::string> written;
  std::string failed;
  if (job->kind == LineJob::Kind::Read) {
    result = ReadBlock(station, job->block);
  } else if (job->kind == LineJob::Kind::WriteRegisters) {
    for (size_t i = 0; i < job->values.size() && result.ok(); ++i) {
      const int index = job->first + static_cast<int>(i);
      result = WriteOne(station, Area::D, index, job->values[i]);
      (result.ok() ? written.push_back(Name(Area::D, index)) : (void)(failed = Name(Area::D, index)));
    }
  } else if (job->kind == LineJob::Kind::WriteRegisterBit) {
    result = ExecuteRegisterBit(station, *job);
  } else {
    const int last = job->first + static_cast<int>(job->bits.size()) - 1;
    for (int group = job->first / 10; group <= last / 10 && result.ok(); ++group) {
      uint8_t byte = 0;
      result = ReadGroup(station, group, &byte);
      if (!result.ok()) {
        failed = Name(Area::M, group) + " (reading it before the write)";
        break;
      }
      for (int bit = 0; bit < 8; ++bit) {
        const int coil = group * 10 + bit;
        if (coil < job->first || coil > last) continue;
        byte = static_cast<uint8_t>(job->bits[static_cast<size_t>(coil - job->first)] ? byte | 1 << bit
                                                                                      : byte & ~(1 << bit));
      }
      result = WriteOne(station, Area::M, group, byte);
      (result.ok() ? written.push_back(Name(Area::M, group)) : (void)(failed = Name(Area::M, group)));
    }
  }
  if (!result.ok() && !written.empty()) {
    std::string list;
    for (const auto& w : written) list += (list.empty() ? "" : ", ") + w;
    LogEvent(Severity::Warning, "station " + std::to_string(number) + ": partial write: " + list + " written, " + failed +
             " failed (" + LineMeaning(result) + ") and nothing after it was sent; the client is told it failed");
    result.partial = true;
  }
  Finish(job, result);
}

void LineOwner::ProbeDemoted(int64_t now) {
  for (auto& s : stations_) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!s->health.demoted || now < s->health.demotedUntilMs || !lineUp_) continue;
      if (s->plan->blocks.empty()) {
        s->health.demoted = false;  // nothing to probe with: its next request is the probe
        continue;
      }
    }
    ReadBlock(*s, 0);
  }
}

bool LineOwner::OpenPort(std::string* error) {
  qvhost::LineRequest line;
  line.port = device_;
  line.baud = config_.line.baud;
  line.dataBits = config_.line.dataBits;
  line.parity = config_.line.parity;
  line.stopBits = config_.line.stopBits;
  return session_.OpenLine(line, config_.line.timeoutMs, error);
}

void LineOwner::LoseLine() {
  // Nothing read before the loss can be trusted now, M groups alike; marked
  // before the port is shown lost, so that nobody sees a lost port with
  // good values.
  for (auto& s : stations_) s->cache.AllBad(LineFailed(LineReason::PortLost), SteadyMs());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lineUp_ = false;
    lineSinceMs_ = SteadyMs();
    for (auto& s : stations_) s->health.consecutiveTimeouts = 0;
  }
  metrics_.portLost.Add();
  LogEvent(Severity::Warning, "port " + device_ + " lost; every request is refused until it is back");
  FailAllQueued(LineFailed(LineReason::PortLost));
}

void LineOwner::TryReopen() {
  Station& station = *stations_.front();
  if (!station.plan->blocks.empty()) {
    ReadBlock(station, 0);
    return;
  }
  // A station with only write ranges: a read of D0 probes the line; any
  // answer, even a refusal, shows the port is back.
  SingleBlock single;
  std::string why;
  if (MakeSingle(session_.Parser(), station.plan->config->number, Area::D, 0, false, 0, &single, &why)) {
    Transact(station, single.blocks.front()->request);
  }
}

}  // namespace qvgateway
