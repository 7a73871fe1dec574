// The serial line as the driver needs it: open a device, apply line
// settings, purge, write, count and read what has arrived. One side per
// platform; a fake in memory for tests and fuzzing.
#pragma once

#include <stdint.h>

namespace quorvalend {

using PortHandle = intptr_t;
constexpr PortHandle kNoPortHandle = -1;

struct LineSettings {
  int32_t baudRate;
  uint8_t dataBits;
  uint8_t parity;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
  bool twoStopBits;
};

// Who switches the transmitter of an RS-485 adapter that does not switch
// by itself: RTS raised while sending and dropped after it, or the other
// way round for adapters wired inverted. Off leaves the port untouched.
enum class Rs485Mode : uint8_t { Off, RtsOnSend, RtsAfterSend };

constexpr uint32_t kLongestRs485DelayUs = 100000;

struct Rs485Setting {
  Rs485Mode mode = Rs485Mode::Off;
  uint32_t delayBeforeUs = 0;  // RTS raised this long before the first bit
  uint32_t delayAfterUs = 0;   // and held this long after the last
};

// What the port made of an RS-485 setting, in words for the trace: how it
// was applied, or what the system answered when it refused.
struct Rs485Report {
  int32_t systemError = 0;
  char text[200] = {};
};

class SerialPort {
 public:
  virtual ~SerialPort() = default;
  // `devicePath` is "//./" followed by the port name. Opens for reading and
  // writing, exclusively, an existing device only, and sizes the driver's
  // queues (1024 receive, 512 transmit). Returns kNoPortHandle on failure.
  virtual PortHandle Open(const char* devicePath) = 0;
  // Changes only baud, data bits, parity and stop bits; false when refused.
  virtual bool ApplyLineSettings(PortHandle handle, const LineSettings& settings) = 0;
  // Event mask, purge of both directions, and time-outs under which a read
  // returns at once with what has arrived and a write allows 10 ms a byte.
  virtual void PrepareForPolling(PortHandle handle) = 0;
  // Puts the port's transmitter under RTS as `setting` says; never asked
  // with the mode off. False when the port refuses it; `report` says how
  // it was applied or why not.
  virtual bool ApplyRs485(PortHandle handle, const Rs485Setting& setting, Rs485Report* report) = 0;
  virtual bool Close(PortHandle handle) = 0;
  // Discards both queues.
  virtual void Purge(PortHandle handle) = 0;
  // Synchronous write. On failure stores the platform's error number.
  virtual bool Write(PortHandle handle, const uint8_t* data, int32_t length, int32_t* written,
                     int32_t* platformError) = 0;
  // Bytes waiting in the receive queue; clears a pending line error. 0 when
  // the status cannot be read.
  virtual int32_t BytesWaiting(PortHandle handle) = 0;
  // Reads up to `capacity` bytes without waiting; -1 when the read fails.
  virtual int32_t Read(PortHandle handle, uint8_t* buffer, int32_t capacity) = 0;
  // Waits at most `ms` for input and returns as soon as some has arrived,
  // with up to `capacity` bytes of it. 0 when nothing came: the wait then
  // took its whole time even on a device that answers at once, so a caller
  // looping on it never spins. -1 when the read fails (after the same wait).
  virtual int32_t ReadWithin(PortHandle handle, uint8_t* buffer, int32_t capacity, uint32_t ms) = 0;
  // The system's error number of the last call that failed on this thread.
  virtual int32_t LastSystemError() = 0;
};

SerialPort& SystemSerialPort();

}  // namespace quorvalend
