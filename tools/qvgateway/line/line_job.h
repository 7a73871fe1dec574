// A piece of work for the line, and the tickets of the clients waiting for
// it. Several clients waiting on the same block share one job, so one
// transaction answers them all.
#pragma once

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "tools/qvgateway/line/line_result.h"

namespace qvgateway {

class Ticket {
 public:
  void Finish(const LineResult& result) {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    result_ = result;
    ready_.notify_all();
  }
  // The job's outcome, or ClientGone once `clientGone` says the client left
  // (the ticket is then abandoned, and a job whose every ticket is
  // abandoned never reaches the line).
  LineResult Wait(const std::function<bool()>& clientGone) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done_) {
      if (ready_.wait_for(lock, std::chrono::milliseconds(20)) == std::cv_status::timeout && clientGone &&
          clientGone()) {
        abandoned_ = true;
        return LineFailed(LineReason::ClientGone);
      }
    }
    return result_;
  }
  bool Abandoned() const { return abandoned_; }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  bool done_ = false;
  LineResult result_;
  std::atomic<bool> abandoned_{false};
};

struct LineJob {
  enum class Kind { Read, WriteRegisters, WriteCoils, WriteRegisterBit };
  Kind kind = Kind::Read;
  size_t station = 0;
  int block = -1;   // Read: the plan's block
  bool poll = false;
  int first = 0;    // WriteRegisters: the first D register; WriteCoils: the first coil
  std::vector<uint16_t> values;
  std::vector<bool> bits;
  int bit = -1;  // WriteRegisterBit: the bit of D `first` set to bits[0]
  int64_t deadlineMs = 0;  // steady clock; 0 for polls
  std::vector<std::shared_ptr<Ticket>> tickets;

  // Nobody waits for it any more (polls always run).
  bool Abandoned() const {
    if (poll || tickets.empty()) return false;
    for (const auto& t : tickets) {
      if (!t->Abandoned()) return false;
    }
    return true;
  }
};

}  // namespace qvgateway
