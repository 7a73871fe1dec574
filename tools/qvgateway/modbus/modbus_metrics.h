// What the Modbus side counts for /metrics: the clients connected, those
// refused, and each request by function code and outcome (answered, the
// exception it got, or the client gone before the answer). A fixed table
// of atomics, so that client threads count without a lock.
#pragma once

#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

#include "tools/qvgateway/http/metrics.h"

namespace qvgateway {

class ModbusMetrics {
 public:
  // Outcome slots: 0 answered, 1..15 the exception code, then the client
  // gone (nothing sent), then any exception code above 15.
  static constexpr int kSlots = 18;
  static constexpr int kGone = 16, kOtherException = 17;

  // `reply`: the response PDU Dispatch made (empty: the client went away).
  static int SlotOf(const std::vector<uint8_t>& reply) {
    if (reply.empty()) return kGone;
    if (reply.size() == 2 && (reply[0] & 0x80) != 0) return reply[1] >= 1 && reply[1] <= 15 ? reply[1] : kOtherException;
    return 0;
  }
  // "ok", "0x0B", "no_reply", "other_exception".
  static std::string SlotLabel(int slot) {
    if (slot == 0) return "ok";
    if (slot == kGone) return "no_reply";
    if (slot == kOtherException) return "other_exception";
    static const char kHex[] = "0123456789ABCDEF";
    return std::string("0x0") + kHex[slot];
  }

  void Request(uint8_t function, const std::vector<uint8_t>& reply) {
    requests_[function][SlotOf(reply)].fetch_add(1, std::memory_order_relaxed);
  }
  uint64_t Requests(int function, int slot) const { return requests_[function][slot].load(std::memory_order_relaxed); }

  std::atomic<int> clients{0};  // connected now
  Counter refused;              // outside modbus.allow, or past max_clients

 private:
  std::atomic<uint64_t> requests_[256][kSlots] = {};
};

}  // namespace qvgateway
