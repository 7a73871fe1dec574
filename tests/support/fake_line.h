// An in-memory serial port and a clock that only moves when slept on, so
// that transactions run without a line and without waiting.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "driver/driver_platform.h"

namespace qvtest {

class FakeClock final : public quorvalend::Clock {
 public:
  uint32_t TickCount() override { return tick; }
  void SleepMs(uint32_t ms) override {
    tick += ms;
    slept += ms;
    if (onSleep) onSleep();
  }
  uint64_t FileTimeNow() override { return fileTime; }

  uint32_t tick = 0xFFFFF000u;  // close to the wrap, on purpose
  uint64_t slept = 0;
  uint64_t fileTime = 0x01DB000012345678ull;
  std::function<void()> onSleep;
};

class FakePort final : public quorvalend::SerialPort {
 public:
  quorvalend::PortHandle Open(const char* devicePath) override {
    openedPaths.push_back(devicePath);
    if (!openSucceeds) return quorvalend::kNoPortHandle;
    return nextHandle++;
  }
  bool ApplyLineSettings(quorvalend::PortHandle, const quorvalend::LineSettings& s) override {
    lastSettings = s;
    return settingsAccepted;
  }
  void PrepareForPolling(quorvalend::PortHandle) override { ++prepared; }
  bool Close(quorvalend::PortHandle handle) override {
    closed.push_back(handle);
    return closeSucceeds;
  }
  void Purge(quorvalend::PortHandle) override {
    ++purges;
    incoming.clear();
  }
  bool Write(quorvalend::PortHandle, const uint8_t* data, int32_t length, int32_t* written,
             int32_t* platformError) override {
    if (writeError != 0) {
      *platformError = writeError;
      return false;
    }
    writes.emplace_back(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    *written = length;
    if (!replies.empty()) {
      const std::string reply = replies.front();
      replies.pop_front();
      incoming.insert(incoming.end(), reply.begin(), reply.end());
    }
    return true;
  }
  int32_t BytesWaiting(quorvalend::PortHandle) override { return static_cast<int32_t>(incoming.size()); }
  int32_t Read(quorvalend::PortHandle, uint8_t* buffer, int32_t capacity) override {
    int32_t n = 0;
    while (n < capacity && !incoming.empty()) {
      buffer[n++] = static_cast<uint8_t>(incoming.front());
      incoming.pop_front();
    }
    if (n > 0) reads.emplace_back(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
    return n;
  }

  // Bytes that arrive on the line now (before the request's purge).
  void Arrive(const std::string& bytes) { incoming.insert(incoming.end(), bytes.begin(), bytes.end()); }

  bool openSucceeds = true;
  bool settingsAccepted = true;
  bool closeSucceeds = true;
  int32_t writeError = 0;
  quorvalend::PortHandle nextHandle = 100;
  quorvalend::LineSettings lastSettings{};
  std::vector<std::string> openedPaths;
  std::vector<quorvalend::PortHandle> closed;
  std::vector<std::string> writes;
  std::deque<std::string> replies;  // one per request written
  std::deque<char> incoming;
  std::vector<std::string> reads;  // what every read that returned bytes gave
  int prepared = 0;
  int purges = 0;
};

// Puts a fake port and clock under every driver object for one test.
struct FakeLine {
  FakePort port;
  FakeClock clock;
  quorvalend::ScopedDriverPlatform scope{quorvalend::DriverPlatform{&port, &clock}};
};

}  // namespace qvtest
