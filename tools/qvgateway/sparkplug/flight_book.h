// The data messages sent and not yet acknowledged by the broker, and how
// many of the buffer's oldest records each carries. The broker may
// acknowledge them in any order, but records leave the buffer only from
// its head: a message's records are taken once it and every message sent
// before it were acknowledged. When the buffer drops its oldest records,
// those are the ones in flight first, so an acknowledgement later never
// takes a record that no message carried.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>

namespace qvgateway {

class FlightBook {
 public:
  static constexpr size_t kMaxMessages = 64;

  // A message carrying the next `records` of the buffer; `mid` < 0: no
  // message went out (records skipped), taken with the ones before it.
  void Sent(int mid, size_t records, bool historical);
  void Acknowledged(int mid);  // a mid not in the book (a birth's) is ignored

  struct Landed {
    size_t records = 0;     // to take off the buffer's head
    size_t historical = 0;  // of them, sent by a replay
  };
  // The acknowledged messages at the front, off the book.
  Landed TakeLanded();

  // The buffer dropped its `n` oldest records.
  void Dropped(uint64_t n);
  // The connection ended: nothing in flight will be acknowledged.
  void Clear();

  // Buffer records in flight: the next to send comes after them.
  size_t Records() const { return records_; }
  bool Room() const { return flights_.size() < kMaxMessages; }
  bool Empty() const { return flights_.empty(); }

 private:
  struct Flight {
    int mid;
    bool acknowledged;
    size_t records;
    bool historical;
  };
  std::deque<Flight> flights_;
  size_t records_ = 0;
};

}  // namespace qvgateway
