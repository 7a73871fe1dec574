#include "tools/qvgateway/service/gateway_signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "tools/host/object_settings.h"
#include "tools/host/sim_launcher.h"

namespace qvgateway {
namespace {

std::atomic<bool> stop{false};
std::atomic<bool> reload{false};
std::atomic<bool> attention{false};

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, s);
  return set;
}

}  // namespace

// The stop signals are taken by one thread with sigwait, never by a
// handler: no thread is interrupted, and under qemu-i386 a handler run on
// the main thread leaves it with another thread's identity, so that its
// later joins fail. Every thread made afterwards inherits the blocked set.
void InstallStopSignals() {
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
  std::thread([set] {
    for (;;) {
      int received = 0;
      if (sigwait(&set, &received) != 0) continue;
      if (received == SIGHUP) {
        reload = true;
        attention = true;
        continue;
      }
      // The flag before the attention, so that TakeReload never clears
      // the attention of a stop it has not seen.
      const bool again = stop.exchange(true);
      attention = true;
      if (again) {
        qvhost::KillSimulatorNow();
        qvhost::RemovePrivateTraceNow();
        _exit(1);
      }
    }
  }).detach();
}

const std::atomic<bool>& StopRequested() { return stop; }

const std::atomic<bool>& AttentionRequested() { return attention; }

bool TakeReload() {
  attention = false;
  if (stop) attention = true;
  return reload.exchange(false);
}

}  // namespace qvgateway
