#include "tools/qvgateway/line/line_owner.h"

#include <chrono>

#include "tools/qvgateway/service/gateway_log.h"

namespace qvgateway {

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

LineOwner::LineOwner(const GatewayConfig& config, LinePlan& plan, qvhost::DriverModule& module, std::string device)
    : config_(config),
      plan_(plan),
      module_(module),
      device_(std::move(device)),
      queue_(static_cast<size_t>(config.line.queueSize), plan.stations.size()),
      metrics_(plan.stations.size()) {
  for (auto& sp : plan_.stations) {
    auto station = std::make_unique<Station>();
    station->plan = sp.get();
    station->pollQueued.resize(sp->blocks.size());
    stations_.push_back(std::move(station));
  }
}

bool LineOwner::Create(std::string* error) {
  std::vector<int> numbers;
  for (auto& s : stations_) numbers.push_back(s->plan->config->number);
  return session_.Create(module_, numbers, error);
}

bool LineOwner::Start(std::string* error) {
  if (!OpenPort(error)) return false;
  lineUp_ = true;
  lineSinceMs_ = SteadyMs();
  LogEvent("port " + device_ + " opened");
  const int64_t now = SteadyMs();
  for (auto& s : stations_) s->nextPollMs = now;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void LineOwner::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ && !thread_.joinable()) return;
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  FailAllQueued(LineFailed(LineReason::Stopping));
}

void LineOwner::Replan(const std::function<void()>& change) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable()) return;
    stopping_ = true;
    keepPort_ = true;
  }
  wake_.notify_all();
  thread_.join();
  FailAllQueued(LineFailed(LineReason::Stopping));
  change();
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t now = SteadyMs();
  for (size_t i = 0; i < stations_.size(); ++i) {
    // A fresh record: the old cache's registers may not be the new plan's.
    auto station = std::make_unique<Station>();
    station->plan = plan_.stations[i].get();
    station->pollQueued.resize(station->plan->blocks.size());
    station->nextPollMs = now;
    stations_[i] = std::move(station);
  }
  keepPort_ = false;
  stopping_ = false;
  thread_ = std::thread([this] { Run(); });
}

LineResult LineOwner::Unreachable(const Station& station) const {
  if (stopping_) return LineFailed(LineReason::Stopping);
  if (!lineUp_) return LineFailed(LineReason::PortLost);
  if (station.health.demoted) {
    // Nothing is sent: the request has no driver code of its own.
    LineResult result = LineFailed(LineReason::Demoted);
    const int64_t left = station.health.demotedUntilMs - SteadyMs();
    result.retryInMs = left > 0 ? left : 0;
    return result;
  }
  return LineDone();
}

LineResult LineOwner::Queue(Priority priority, const JobPtr& job, const std::function<bool()>& clientGone) {
  auto ticket = std::make_shared<Ticket>();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const LineResult why = Unreachable(*stations_[job->station]);
    if (!why.ok()) return why;
    job->tickets.push_back(ticket);
    job->deadlineMs = SteadyMs() + config_.line.requestDeadlineMs;
    if (!queue_.Push(priority, job->station, job)) {
      metrics_.queueFull.Add();
      return LineFailed(LineReason::QueueFull);
    }
  }
  wake_.notify_all();
  return ticket->Wait(clientGone);
}

LineResult LineOwner::Read(const StationRules& rules, Area area, int first, int count, uint16_t* values,
                           const std::function<bool()>& clientGone) {
  Station& station = *stations_[rules.index];
  const int maxAge = station.plan->config->maxAgeMs;
  // Ages count to when the client asked: a value read after that is fresh
  // for this request however long the answer then takes.
  const int64_t asked = SteadyMs();
  // Twice at most: a block read for this request can be made bad again
  // by a failed poll before the answer is built; then it is read again.
  for (int attempt = 0; attempt < 2; ++attempt) {
    {
      // A demoted station or a lost line answers at once, whatever the
      // cache holds.
      std::lock_guard<std::mutex> lock(mutex_);
      const LineResult why = Unreachable(station);
      if (!why.ok()) return why;
    }
    if (station.cache.Fresh(area, first, count, maxAge, asked, values)) return LineDone();
    std::vector<std::shared_ptr<Ticket>> tickets;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      int last = -1;
      const int64_t now = SteadyMs();
      for (int i = first; i < first + count; ++i) {
        uint16_t one = 0;
        if (station.cache.Fresh(area, i, 1, maxAge, asked, &one)) continue;
        const int block = station.plan->BlockOf(area, i);
        if (block == last) continue;
        last = block;
        auto ticket = std::make_shared<Ticket>();
        auto pending = station.pendingReads.find(block);
        if (pending != station.pendingReads.end()) {
          pending->second->tickets.push_back(ticket);
        } else {
          auto job = std::make_shared<LineJob>();
          job->kind = LineJob::Kind::Read;
          job->station = static_cast<size_t>(rules.index);
          job->block = block;
          job->deadlineMs = now + config_.line.requestDeadlineMs;
          job->tickets.push_back(ticket);
          // The blocks already queued for this request are answered to
          // nobody: the whole request is refused.
          if (!queue_.Push(Priority::ClientRead, job->station, job)) {
            metrics_.queueFull.Add();
            return LineFailed(LineReason::QueueFull);
          }
          station.pendingReads[block] = job;
        }
        tickets.push_back(ticket);
      }
    }
    wake_.notify_all();
    for (auto& ticket : tickets) {
      const LineResult result = ticket->Wait(clientGone);
      if (!result.ok()) return result;
    }
  }
  if (station.cache.Fresh(area, first, count, maxAge, asked, values)) return LineDone();
  // Read for this request twice, and made bad again by a failed poll each
  // time: the station does not answer reliably.
  return LineFailed(LineReason::Silent);
}

LineResult LineOwner::WriteRegisters(const StationRules& rules, int first, const std::vector<uint16_t>& values,
                                     const std::function<bool()>& clientGone) {
  auto job = std::make_shared<LineJob>();
  job->kind = LineJob::Kind::WriteRegisters;
  job->station = static_cast<size_t>(rules.index);
  job->first = first;
  job->values = values;
  return Queue(Priority::Write, job, clientGone);
}

LineResult LineOwner::WriteCoils(const StationRules& rules, int firstCoil, const std::vector<bool>& bits,
                                 const std::function<bool()>& clientGone) {
  auto job = std::make_shared<LineJob>();
  job->kind = LineJob::Kind::WriteCoils;
  job->station = static_cast<size_t>(rules.index);
  job->first = firstCoil;
  job->bits = bits;
  return Queue(Priority::Write, job, clientGone);
}

void LineOwner::Status(const StationRules& rules, uint16_t registers[kStatusRegisterCount]) {
  Station& station = *stations_[rules.index];
  StatusInputs in;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    in.health = station.health;
    in.lineUp = lineUp_;
    in.queued = static_cast<uint32_t>(queue_.ClientRequests());
  }
  in.station = station.plan->config->number;
  in.oldestAgeMs = station.cache.OldestAgeMs(rules.readable, SteadyMs());
  FillStatus(in, registers);
}

void LineOwner::QueueDuePolls(int64_t now) {
  for (size_t i = 0; i < stations_.size(); ++i) {
    Station& s = *stations_[i];
    const int period = s.plan->config->pollMs;
    if (period <= 0 || now < s.nextPollMs) continue;
    // A line that fell behind polls again a period from now, rather than
    // making up every missed period at once.
    s.nextPollMs = s.nextPollMs + period > now ? s.nextPollMs + period : now + period;
    if (s.health.demoted || !lineUp_) continue;
    for (size_t b = 0; b < s.plan->blocks.size(); ++b) {
      if (s.pollQueued[b]) continue;
      auto job = std::make_shared<LineJob>();
      job->station = i;
      job->block = static_cast<int>(b);
      job->poll = true;
      s.pollQueued[b] = true;
      queue_.Push(Priority::Poll, i, job);
    }
  }
}

void LineOwner::Finish(const JobPtr& job, const LineResult& result) {
  std::vector<std::shared_ptr<Ticket>> tickets;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Station& s = *stations_[job->station];
    if (job->kind == LineJob::Kind::Read && !job->poll) {
      auto pending = s.pendingReads.find(job->block);
      if (pending != s.pendingReads.end() && pending->second == job) s.pendingReads.erase(pending);
    }
    if (job->poll) s.pollQueued[static_cast<size_t>(job->block)] = false;
    tickets.swap(job->tickets);
  }
  for (auto& t : tickets) t->Finish(result);
}

void LineOwner::FailAllQueued(const LineResult& result) {
  std::vector<JobPtr> jobs;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    JobPtr job;
    while (queue_.Pop(&job)) jobs.push_back(job);
  }
  for (auto& job : jobs) Finish(job, result);
}

void LineOwner::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    const int64_t now = SteadyMs();
    if (!lineUp_) {
      lock.unlock();
      TryReopen();
      lock.lock();
      if (!lineUp_) wake_.wait_for(lock, std::chrono::milliseconds(50));
      continue;
    }
    lock.unlock();
    ProbeDemoted(now);
    lock.lock();
    QueueDuePolls(now);
    JobPtr job;
    if (!queue_.Pop(&job)) {
      int64_t next = now + 100;
      for (auto& s : stations_) {
        if (s->plan->config->pollMs > 0 && s->nextPollMs < next) next = s->nextPollMs;
        if (s->health.demoted && s->health.demotedUntilMs < next) next = s->health.demotedUntilMs;
      }
      if (next > now) wake_.wait_for(lock, std::chrono::milliseconds(next - now));
      continue;
    }
    Station& station = *stations_[job->station];
    const bool late = !job->poll && SteadyMs() > job->deadlineMs;
    if (job->Abandoned() || late) {
      ++station.health.dropped;
      lock.unlock();
      Finish(job, LineFailed(late ? LineReason::Deadline : LineReason::ClientGone));
      lock.lock();
      continue;
    }
    const LineResult why = Unreachable(station);
    lock.unlock();
    if (!why.ok()) {
      Finish(job, why);
    } else {
      Execute(job);
    }
    lock.lock();
  }
  lock.unlock();
  // The port is closed here, by the one thread that calls the driver.
  if (!keepPort_) session_.Close();
}

}  // namespace qvgateway
