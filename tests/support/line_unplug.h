// A line whose adapter can be pulled out and put back, with qvsim on the
// far end.
//
// POSIX: qvsim makes the pseudo-terminal; its drop fault takes the line
// away at the first request after Unplug() (the driver's side sees a
// hang-up, the device name goes) and brings it back under the same name.
// Windows (under Wine): COM40 and COM41 are the two ends of a socat pair
// that the port fixture watches over; Unplug() asks it to stop socat (the
// driver's COM40 loses its line at once) and start it again a moment later,
// and qvsim, whose COM41 went with it, is started again on the new line.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/simulator_process.h"

namespace qvtest {

class LineUnplug {
 public:
  // `goodRequests` requests are answered before the line can go.
  LineUnplug(std::vector<std::string> args, int goodRequests) : args_(std::move(args)) {
#if defined(_WIN32)
    (void)goodRequests;
    sim_ = std::make_unique<SimulatorProcess>(args_);
#else
    std::vector<std::string> all = args_;
    all.insert(all.end(), {"--fault", "drop:" + std::to_string(kAwayMs), "--fault-at",
                           std::to_string(goodRequests + 1)});
    sim_ = std::make_unique<SimulatorProcess>(all, SimulatorProcess::kOwnPty);
#endif
  }

  bool Started() const { return sim_->Started(); }
  const std::string& DevicePath() const { return sim_->DevicePath(); }
  std::string Trace() const { return sim_->Trace(); }

  void Unplug() {
#if defined(_WIN32)
    const std::string request = State("unplug");
    FILE* f = fopen(request.c_str(), "w");
    ASSERT_NE(f, nullptr) << request;
    fprintf(f, "%d\n", kAwayMs);
    fclose(f);
    // The fixture removes the request once socat is stopped.
    for (int i = 0; i < 300 && GetFileAttributesA(request.c_str()) != INVALID_FILE_ATTRIBUTES; ++i) Sleep(10);
    ASSERT_EQ(GetFileAttributesA(request.c_str()), INVALID_FILE_ATTRIBUTES) << "the port fixture did not unplug";
#endif
  }

  // True once the line is back under its name.
  bool WaitUntilBack(int ms) {
#if defined(_WIN32)
    const std::string back = State("back");
    for (int waited = 0; GetFileAttributesA(back.c_str()) == INVALID_FILE_ATTRIBUTES; waited += 10) {
      if (waited >= ms) return false;
      Sleep(10);
    }
    DeleteFileA(back.c_str());
    sim_.reset();
    sim_ = std::make_unique<SimulatorProcess>(args_);
    return sim_->Started();
#else
    return sim_->WaitForTrace("qvsim: line back", 1, ms);
#endif
  }

 private:
  static constexpr int kAwayMs = 2500;
#if defined(_WIN32)
  static std::string State(const char* name) { return std::string(QUORVALEND_COM_PORT_STATE) + "/" + name; }
#endif

  std::vector<std::string> args_;
  std::unique_ptr<SimulatorProcess> sim_;
};

}  // namespace qvtest
