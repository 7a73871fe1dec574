// qvsim: a controller on the far end of a serial line, for tests, demos and
// commissioning without hardware.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>

#include "tools/common/command_line.h"
#include "tools/qvsim/controller.h"
#include "tools/qvsim/options.h"
#include "tools/qvsim/sim_line.h"

using qvsim::Options;

namespace {

volatile sig_atomic_t stopRequested = 0;
void RequestStop(int) { stopRequested = 1; }

// A controller switched off hears nothing and answers nothing; switched on
// again it answers the next request as if nothing happened.
volatile sig_atomic_t switchedOff = 0;
#ifdef SIGUSR1
void SwitchOff(int) { switchedOff = 1; }
void SwitchOn(int) { switchedOff = 0; }
#endif

bool Silenced(const Options& options, int station) {
  return switchedOff && (options.switchable.empty() || options.switchable.count(station) > 0);
}

std::string Printable(const std::string& bytes) {
  std::string hex, text;
  for (unsigned char c : bytes) {
    hex += qvsim::HexByte(c) + " ";
    if (c == 0x05) text += "<ENQ>";
    else if (c == 0x06) text += "<ACK>";
    else if (c == 0x15) text += "<NAK>";
    else if (c == 0x0D) text += "<CR>";
    else if (c >= 0x20 && c < 0x7F) text += static_cast<char>(c);
    else text += "<" + qvsim::HexByte(c) + ">";
  }
  return hex + "| " + text;
}

// How long `bytes` bytes take on the wire at the paced baud rate.
int64_t WireTimeUs(size_t bytes, const Options& options) {
  return static_cast<int64_t>(bytes) * 1000000LL * options.bitsPerByte / options.baud;
}

// Writes `bytes` no faster than the line would carry them.
bool Send(qvsim::SimLine& line, const std::string& bytes, const Options& options) {
  if (options.baud <= 0) return line.Write(bytes);
  const int64_t start = qvsim::NowUs();
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (!line.Write(bytes.substr(i, 1))) return false;
    qvsim::SleepUs(start + WireTimeUs(i + 1, options) - qvsim::NowUs());
  }
  return true;
}

// The line away for `ms`, then back under its name; what was on it is lost.
void Unplug(qvsim::SimLine& line, int ms, bool trace) {
  std::string error;
  if (!line.Drop(&error)) {
    fprintf(stderr, "qvsim: cannot take the line away: %s\n", error.c_str());
    return;
  }
  if (trace) printf("   line gone for %d ms\n", ms);
  fflush(stdout);
  qvsim::SleepMs(ms);
  // A port that is not back yet is tried again, as a replugged adapter
  // takes a moment to appear.
  for (int attempt = 0; !line.Restore(&error); ++attempt) {
    if (attempt == 0) fprintf(stderr, "qvsim: the line is not back yet: %s\n", error.c_str());
    qvsim::SleepMs(100);
    if (stopRequested) return;
  }
  printf("qvsim: line back on %s\n", line.ClientPath().c_str());
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int status = qvsim::ParseOptions(argc, argv, &options);
  if (status >= 0) return status;

  qvsim::Controller controller(options.stations);
  for (const auto& preset : options.presets) controller.Preset(preset.area, preset.address, preset.value);
  for (const auto& range : options.counting) controller.Count(range.first, range.second);

  // A launcher that ignores Ctrl-C for the simulator means it.
  if (signal(SIGINT, SIG_IGN) != SIG_IGN) signal(SIGINT, RequestStop);
  signal(SIGTERM, RequestStop);
#ifdef SIGUSR1
  signal(SIGUSR1, SwitchOff);
  signal(SIGUSR2, SwitchOn);
#endif
  qvsim::SimLine line;
  std::string error;
  if (!line.Open(options.line, options.baud, &error)) return qvtools::UsageError("qvsim", error);
  std::string stations;
  for (int s : options.stations) stations += (stations.empty() ? "" : ",") + std::to_string(s);
  printf("qvsim: serving station %s on %s\n", stations.c_str(), line.ClientPath().c_str());
  fflush(stdout);

  // Counting on a clock: tick k falls at start + k * tickMs, and a read
  // answered after that moment sees it, whatever the line was doing then.
  // The start in Unix time lets an observer tell when each change was.
  const int64_t tickStartUs = qvsim::NowUs();
  int64_t ticksDone = 0;
  if (options.tickMs > 0) {
    controller.CountOnTicks();
    const auto unixUs = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch()).count();
    printf("qvsim: counting up every %d ms from %lld.%06lld (Unix time)\n", options.tickMs,
           static_cast<long long>(unixUs / 1000000), static_cast<long long>(unixUs % 1000000));
    fflush(stdout);
  }

  qvsim::FaultPicker faults(options.faults);
  std::string pending;
  int64_t frameStartUs = 0;
  long handled = 0;
  uint8_t buffer[512];
  while (!stopRequested && (options.requests < 0 || handled < options.requests)) {
    const int n = line.Read(buffer, sizeof buffer, 5);
    if (n <= 0) continue;
    if (pending.empty()) frameStartUs = qvsim::NowUs();
    pending.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
    for (;;) {
      const size_t enq = pending.find('\x05');
      if (enq == std::string::npos) {
        pending.clear();
        break;
      }
      const size_t cr = pending.find('\r', enq);
      if (cr == std::string::npos) {
        pending.erase(0, enq);
        break;
      }
      const std::string frame = pending.substr(enq, cr - enq + 1);
      pending.erase(0, cr + 1);
      ++handled;
      // A pseudo-terminal delivers the request at once; a real line takes
      // its wire time, which the controller cannot answer before.
      if (options.baud > 0) {
        qvsim::SleepUs(frameStartUs + WireTimeUs(frame.size(), options) - qvsim::NowUs());
        frameStartUs = qvsim::NowUs();
      }

      // At another speed a controller receives only noise: it stays silent.
      if (options.lineBaud > 0 && line.Baud() != options.lineBaud) {
        if (options.trace) printf("<- %s\n   ignored: the line is at %d baud\n", Printable(frame).c_str(), line.Baud());
        if (options.trace) fflush(stdout);
        continue;
      }
      if (Silenced(options, qvsim::StationOf(frame))) {
        if (options.trace) printf("<- %s\n   silenced: no reply\n", Printable(frame).c_str());
        if (options.trace) fflush(stdout);
        continue;
      }
      const int64_t receivedUs = qvsim::NowUs();
      for (; options.tickMs > 0 && ticksDone < (receivedUs - tickStartUs) / (options.tickMs * 1000LL); ++ticksDone) {
        controller.Tick();
      }
      const qvsim::FaultSpec fault = faults.For(handled, qvsim::StationOf(frame));
      const qvsim::Answer answer = controller.Handle(frame, fault);
      if (options.trace) printf("<- %s\n   %s\n", Printable(frame).c_str(), answer.summary.c_str());
      if (fault.kind == qvsim::Fault::Drop) {
        Unplug(line, fault.ms, options.trace);
        pending.clear();
        break;
      }
      if (fault.kind == qvsim::Fault::Late) {
        // Whatever arrives meanwhile waits in the line's queue, as it
        // would for a controller busy elsewhere.
        qvsim::SleepUs(receivedUs + fault.ms * 1000LL - qvsim::NowUs());
      } else if (!answer.pieces.empty() && options.turnaroundMs > 0) {
        qvsim::SleepMs(options.turnaroundMs);
      }
      for (size_t i = 0; i < answer.pieces.size(); ++i) {
        if (i > 0) qvsim::SleepMs(options.splitPauseMs);
        if (!Send(line, answer.pieces[i], options)) fprintf(stderr, "qvsim: write to the line failed\n");
        if (options.trace) printf("-> %s\n", Printable(answer.pieces[i]).c_str());
      }
      if (options.trace) fflush(stdout);
      if (options.requests >= 0 && handled >= options.requests) break;
    }
  }
  line.Close();
  return 0;
}
