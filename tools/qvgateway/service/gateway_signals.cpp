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
      if (stop.exchange(true)) {
        qvhost::KillSimulatorNow();
        qvhost::RemovePrivateTraceNow();
        _exit(1);
      }
    }
  }).detach();
}

const std::atomic<bool>& StopRequested() { return stop; }

}  // namespace qvgateway
