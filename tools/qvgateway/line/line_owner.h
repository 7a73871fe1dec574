// The one thread that calls the driver. It owns the driver objects (one
// per station: the first opens the port, the others borrow its handle),
// takes work from the bounded queue (writes, then client reads, then
// cyclic polls, stations in turn), keeps the cache, demotes a station that
// keeps timing out, and reopens the port after the adapter went away.
// Client threads only queue work and wait for it.
#pragma once

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/host/driver_module.h"
#include "tools/host/session.h"
#include "tools/qvgateway/config/config.h"
#include "tools/qvgateway/line/line_job.h"
#include "tools/qvgateway/line/line_metrics.h"
#include "tools/qvgateway/line/line_result.h"
#include "tools/qvgateway/line/plan.h"
#include "tools/qvgateway/line/request_queue.h"
#include "tools/qvgateway/line/station_cache.h"
#include "tools/qvgateway/line/station_health.h"

namespace qvgateway {

int64_t SteadyMs();

class LineOwner {
 public:
  // `device`: what the driver opens (the pseudo-terminal for "sim").
  LineOwner(const GatewayConfig& config, LinePlan& plan, qvhost::DriverModule& module, std::string device);
  ~LineOwner() { Stop(); }

  // Makes the driver objects (their settings must be in place meanwhile).
  bool Create(std::string* error);
  // For the trace and the line's events, between Create and Start.
  qvhost::Session& session() { return session_; }
  // Opens the port and starts the thread. False with why.
  bool Start(std::string* error);
  // Finishes the transaction on the line, answers what waits with
  // Stopping, closes the port.
  void Stop();
  // For a reload that keeps the line and its stations: finishes the
  // transaction on the line, answers what waits as a stop does, lets
  // `change` replace the contents of the configuration and plan this owner
  // was made with (the same [line], the same station numbers in the same
  // order), and goes on with them, the port open all along.
  void Replan(const std::function<void()>& change);

  // Each answers done, or the one reason it was not (with the driver's
  // code when the request reached the line and failed there).
  LineResult Read(const StationRules& station, Area area, int first, int count, uint16_t* values,
                  const std::function<bool()>& clientGone);
  LineResult WriteRegisters(const StationRules& station, int first, const std::vector<uint16_t>& values,
                            const std::function<bool()>& clientGone);
  LineResult WriteCoils(const StationRules& station, int firstCoil, const std::vector<bool>& bits,
                        const std::function<bool()>& clientGone);
  // One bit of a D register: read fresh, that bit changed, written back.
  // The controller's own changes to the other bits in between are lost.
  LineResult WriteRegisterBit(const StationRules& station, int index, int bit, bool value,
                              const std::function<bool()>& clientGone);
  // For publishers: the cache and the health of the station at `index`
  // in the plan, and whether the port is open.
  const StationCache& Cache(size_t index) const { return stations_[index]->cache; }
  StationHealth Health(size_t index, bool* lineUp) const {
    std::lock_guard<std::mutex> lock(mutex_);
    *lineUp = lineUp_;
    return stations_[index]->health;
  }
  // Steady time of the last change of the port: opened, lost, back.
  int64_t LineSinceMs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lineSinceMs_;
  }
  void Status(const StationRules& station, uint16_t registers[kStatusRegisterCount]);
  // The line's busy time so far: every transaction's time, summed. Two
  // readings a while apart give the line's utilisation between them.
  double BusyMs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return busyMs_;
  }
  // For /metrics: transactions by outcome and time, refusals, lost ports.
  const LineMetrics& Metrics() const { return metrics_; }
  // Client requests waiting for the line now.
  size_t QueuedClientRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.ClientRequests();
  }

 private:
  struct Station {
    StationPlan* plan = nullptr;
    StationCache cache;
    StationHealth health;
    int64_t nextPollMs = 0;
    std::vector<bool> pollQueued;
    std::map<int, std::shared_ptr<LineJob>> pendingReads;  // by block
  };
  using JobPtr = std::shared_ptr<LineJob>;

  LineResult Queue(Priority priority, const JobPtr& job, const std::function<bool()>& clientGone);
  // Why a request of this station cannot reach the line now (done if it
  // can). Under mutex_.
  LineResult Unreachable(const Station& station) const;
  void Run();
  void QueueDuePolls(int64_t now);
  void Execute(const JobPtr& job);
  void Finish(const JobPtr& job, const LineResult& result);
  void FailAllQueued(const LineResult& result);
  // One driver transaction on `block`, counted, and its result.
  LineResult Transact(Station& station, BlockRequest& request);
  // Why a value `failed` left bad is bad: its station's demotion first.
  LineResult ValueReason(const Station& station, const LineResult& failed) const;
  // A read with its retries.
  LineResult ReadRetried(Station& station, qvhost::Block& block);
  // After a time-out: no request until the line was quiet for one more.
  void WaitQuietLine();
  LineResult ReadBlock(Station& station, int block);
  LineResult ReadGroup(Station& station, int group, uint8_t* value);
  LineResult WriteOne(Station& station, Area area, int index, uint16_t value);
  LineResult ExecuteRegisterBit(Station& station, const LineJob& job);
  void ProbeDemoted(int64_t now);
  void LoseLine();
  // While the port is lost: a probe transaction, which the session sends
  // only once it has opened the port again (with its own back-off).
  void TryReopen();
  bool OpenPort(std::string* error);

  const GatewayConfig& config_;
  LinePlan& plan_;
  qvhost::DriverModule& module_;
  std::string device_;
  qvhost::Session session_;
  std::vector<std::unique_ptr<Station>> stations_;

  mutable std::mutex mutex_;  // the queue, the health records, the flags
  std::condition_variable wake_;
  RequestQueue<JobPtr> queue_;
  std::atomic<bool> stopping_{false};
  bool keepPort_ = false;  // the thread ends without closing the port (Replan)
  bool lineUp_ = false;
  int64_t lineSinceMs_ = 0;   // under mutex_
  double busyMs_ = 0;         // under mutex_
  int64_t quietUntilMs_ = 0;  // the line thread's: no request before this
  LineMetrics metrics_;
  std::thread thread_;
};

}  // namespace qvgateway
