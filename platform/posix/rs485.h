// RS-485 direction switching by the kernel's serial driver: one request,
// TIOCSRS485, made through a pointer that tests put their own in place of,
// to see what was asked and to answer as a port would.
#pragma once

#include "platform/serial_port.h"

struct serial_rs485;

namespace quorvalend {

// Answers as ioctl(2) does: 0, or -1 with errno set.
using Rs485Request = int (*)(int fd, const serial_rs485* setting);

Rs485Request& ActiveRs485Request();

// Puts `request` in force until the guard goes out of scope.
class ScopedRs485Request {
 public:
  explicit ScopedRs485Request(Rs485Request request) : saved_(ActiveRs485Request()) { ActiveRs485Request() = request; }
  ~ScopedRs485Request() { ActiveRs485Request() = saved_; }
  ScopedRs485Request(const ScopedRs485Request&) = delete;
  ScopedRs485Request& operator=(const ScopedRs485Request&) = delete;

 private:
  Rs485Request saved_;
};

// The kernel counts the delays in whole milliseconds: a part of one is
// rounded up, so that RTS is never up later or dropped sooner than asked.
uint32_t Rs485DelayMs(uint32_t microseconds);

bool ApplyRs485Setting(int fd, const Rs485Setting& setting, Rs485Report* report);

}  // namespace quorvalend
