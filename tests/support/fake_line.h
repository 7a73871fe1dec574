// An in-memory serial port and a clock that only moves when slept on, so
// that transactions run without a line and without waiting.
#pragma once

#include <string.h>

#include <stdio.h>

#include <deque>
#include <map>
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
  bool ApplyRs485(quorvalend::PortHandle handle, const quorvalend::Rs485Setting& setting,
                  quorvalend::Rs485Report* report) override {
    rs485Asked.push_back(setting);
    rs485Handles.push_back(handle);
    report->systemError = rs485Refusal;
    snprintf(report->text, sizeof report->text, "%s", rs485Refusal != 0 ? "refused by the fake" : "applied by the fake");
    return rs485Refusal == 0;
  }
  bool Close(quorvalend::PortHandle handle) override {
    closed.push_back(handle);
    return closeSucceeds;
  }
  void Purge(quorvalend::PortHandle) override {
    ++purges;
    incoming.clear();
    readAt = 0;
  }
  bool Write(quorvalend::PortHandle, const uint8_t* data, int32_t length, int32_t* written,
             int32_t* platformError) override {
    if (writeError != 0) {
      *platformError = writeError;
      return false;
    }
    writes.emplace_back(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    *written = length;
    for (const auto& p : pending) scheduled.push_back({(clock != nullptr ? clock->tick : 0) + p.dueTick, p.bytes});
    pending.clear();
    if (!replies.empty()) {
      const std::string reply = replies.front();
      replies.pop_front();
      Arrive(reply);
    }
    return true;
  }
  int32_t BytesWaiting(quorvalend::PortHandle) override {
    DeliverDue();
    return static_cast<int32_t>(incoming.size() - readAt);
  }
  // The early wait: returns at once with what is there, else moves the
  // clock to the next scheduled arrival within `ms`, or by `ms`.
  int32_t ReadWithin(quorvalend::PortHandle handle, uint8_t* buffer, int32_t capacity, uint32_t ms) override {
    ++waits;
    DeliverDue();
    if (incoming.size() == readAt && clock != nullptr) {
      uint32_t step = ms;
      if (!scheduled.empty() && scheduled.front().dueTick - clock->tick < ms) {
        step = scheduled.front().dueTick - clock->tick;
      }
      clock->SleepMs(step);
      DeliverDue();
    }
    return Read(handle, buffer, capacity);
  }
  int32_t LastSystemError() override { return systemError; }

  // Bytes that arrive `afterMs` after the next request is written, in the
  // order scheduled.
  void ArriveAfterNextWrite(uint32_t afterMs, const std::string& bytes) { pending.push_back({afterMs, bytes}); }
  int32_t Read(quorvalend::PortHandle, uint8_t* buffer, int32_t capacity) override {
    const size_t left = incoming.size() - readAt;
    const int32_t n = capacity < 0 ? 0 : left < static_cast<size_t>(capacity) ? static_cast<int32_t>(left) : capacity;
    if (n == 0) return 0;
    memcpy(buffer, incoming.data() + readAt, static_cast<size_t>(n));
    reads.emplace_back(incoming, readAt, static_cast<size_t>(n));
    readAt += static_cast<size_t>(n);
    if (readAt == incoming.size()) {
      incoming.clear();
      readAt = 0;
    }
    return n;
  }

  // Bytes that arrive on the line now (before the request's purge).
  void Arrive(const std::string& bytes) { incoming += bytes; }

  struct Arrival {
    uint32_t dueTick;
    std::string bytes;
  };
  void DeliverDue() {
    while (clock != nullptr && !scheduled.empty() && clock->tick - scheduled.front().dueTick < 0x80000000u) {
      Arrive(scheduled.front().bytes);
      scheduled.pop_front();
    }
  }

  FakeClock* clock = nullptr;  // set by FakeLine; moves in the early wait
  std::deque<Arrival> pending, scheduled;
  int waits = 0;
  int32_t systemError = 0;
  bool openSucceeds = true;
  bool settingsAccepted = true;
  bool closeSucceeds = true;
  int32_t writeError = 0;
  quorvalend::PortHandle nextHandle = 100;
  quorvalend::LineSettings lastSettings{};
  std::vector<quorvalend::Rs485Setting> rs485Asked;
  std::vector<quorvalend::PortHandle> rs485Handles;
  int32_t rs485Refusal = 0;  // the system error a refusal carries; 0 applies
  std::vector<std::string> openedPaths;
  std::vector<quorvalend::PortHandle> closed;
  std::vector<std::string> writes;
  std::deque<std::string> replies;  // one per request written
  std::string incoming;  // what has arrived; read from readAt on
  size_t readAt = 0;
  std::vector<std::string> reads;  // what every read that returned bytes gave
  int prepared = 0;
  int purges = 0;
};

// Driver settings as a test sets them; none unless set.
class FakeSettings final : public quorvalend::SettingsSource {
 public:
  bool Read(const char* name, char* buffer, size_t size) override {
    const auto found = values.find(name);
    if (found == values.end() || size == 0) return false;
    snprintf(buffer, size, "%s", found->second.c_str());
    return true;
  }
  std::map<std::string, std::string> values;
};

// Puts a fake port, clock and settings under every driver object made
// while it lives.
struct FakeLine {
  FakeLine() { port.clock = &clock; }
  FakePort port;
  FakeClock clock;
  FakeSettings settings;
  quorvalend::ScopedDriverPlatform scope{quorvalend::DriverPlatform{&port, &clock, &settings}};
};

}  // namespace qvtest
