// The system's port and clock with a count of every look at the port: a
// poll's check for waiting bytes or an early wait. The bench's settings come
// from here too, so the two reply waits can be measured side by side.
#pragma once

#include <map>
#include <string>

#include "driver/driver_platform.h"
#include "tests/support/fake_line.h"

namespace qvbench {

class CountingPort final : public quorvalend::SerialPort {
 public:
  explicit CountingPort(quorvalend::SerialPort& system) : system_(system) {}
  quorvalend::PortHandle Open(const char* path) override { return system_.Open(path); }
  bool ApplyLineSettings(quorvalend::PortHandle h, const quorvalend::LineSettings& s) override {
    return system_.ApplyLineSettings(h, s);
  }
  void PrepareForPolling(quorvalend::PortHandle h) override { system_.PrepareForPolling(h); }
  bool ApplyRs485(quorvalend::PortHandle h, const quorvalend::Rs485Setting& s, quorvalend::Rs485Report* r) override {
    return system_.ApplyRs485(h, s, r);
  }
  bool Close(quorvalend::PortHandle h) override { return system_.Close(h); }
  void Purge(quorvalend::PortHandle h) override { system_.Purge(h); }
  bool Write(quorvalend::PortHandle h, const uint8_t* d, int32_t n, int32_t* w, int32_t* e) override {
    return system_.Write(h, d, n, w, e);
  }
  int32_t BytesWaiting(quorvalend::PortHandle h) override {
    ++looks;
    return system_.BytesWaiting(h);
  }
  int32_t Read(quorvalend::PortHandle h, uint8_t* b, int32_t n) override { return system_.Read(h, b, n); }
  int32_t ReadWithin(quorvalend::PortHandle h, uint8_t* b, int32_t n, uint32_t ms) override {
    ++looks;
    return system_.ReadWithin(h, b, n, ms);
  }
  int32_t LastSystemError() override { return system_.LastSystemError(); }

  long looks = 0;

 private:
  quorvalend::SerialPort& system_;
};

// Puts the counting port, the system clock and the bench's own settings
// under every driver object made while it lives.
struct BenchPlatform {
  explicit BenchPlatform(const std::string& replyWait) { settings.values["ReplyWait"] = replyWait; }
  CountingPort port{quorvalend::SystemSerialPort()};
  qvtest::FakeSettings settings;
  quorvalend::ScopedDriverPlatform scope{
      quorvalend::DriverPlatform{&port, &quorvalend::SystemClock(), &settings}};
};

// CPU time of the calling thread, in microseconds.
double ThreadCpuMicroseconds();

}  // namespace qvbench
