#include "platform/posix/rs485.h"

#include <errno.h>
#include <linux/serial.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>

namespace quorvalend {
namespace {

int SystemRequest(int fd, const serial_rs485* setting) {
  return ioctl(fd, TIOCSRS485, const_cast<serial_rs485*>(setting));
}

// At namespace scope: a function-local object would need a first-call
// guard, and with it the threading runtime.
Rs485Request activeRequest = SystemRequest;

}  // namespace

Rs485Request& ActiveRs485Request() { return activeRequest; }

uint32_t Rs485DelayMs(uint32_t microseconds) { return microseconds / 1000u + (microseconds % 1000u != 0 ? 1u : 0u); }

bool ApplyRs485Setting(int fd, const Rs485Setting& setting, Rs485Report* report) {
  if (setting.mode == Rs485Mode::Off) return true;
  // Built afresh rather than changed from what the port had: receiving
  // while sending stays off, so the request's own echo never comes back
  // ahead of the reply on a two-wire bus.
  serial_rs485 request{};
  const bool onSend = setting.mode == Rs485Mode::RtsOnSend;
  request.flags = SER_RS485_ENABLED | (onSend ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND);
  request.delay_rts_before_send = Rs485DelayMs(setting.delayBeforeUs);
  request.delay_rts_after_send = Rs485DelayMs(setting.delayAfterUs);
  if (activeRequest(fd, &request) != 0) {
    const int error = errno;
    report->systemError = error;
    snprintf(report->text, sizeof report->text, "the kernel answered %s (errno %d)", strerror(error), error);
    return false;
  }
  report->systemError = 0;
  snprintf(report->text, sizeof report->text,
           "RTS %s while sending, %u ms before and %u ms after it (the kernel counts whole milliseconds)",
           onSend ? "raised" : "dropped", static_cast<unsigned>(request.delay_rts_before_send),
           static_cast<unsigned>(request.delay_rts_after_send));
  return true;
}

}  // namespace quorvalend
