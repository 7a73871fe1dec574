#include "tools/qvgateway/gateway_signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "tools/host/object_settings.h"
#include "tools/host/sim_launcher.h"

namespace qvgateway {
namespace {

std::atomic<bool> stop{false};

void Stop() {
  if (stop.exchange(true)) {
    qvpoll::KillSimulatorNow();
    qvpoll::RemovePrivateTraceNow();
    _exit(1);
  }
}

}  // namespace

void InstallStopSignals() {
  signal(SIGPIPE, SIG_IGN);
  sigset_t stops;
  sigemptyset(&stops);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stops, s);
  // Blocked here, before any other thread exists, so in every thread: they
  // wait for the one thread that takes them. No handler ever interrupts a
  // thread, which matters under a user-mode i386 emulator: returning from
  // a handler reloads the thread's TLS segment from a table all threads
  // share, and the thread that ran it then takes itself for the thread
  // made last (joining that one fails with EDEADLK).
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  std::thread([stops] {
    int received = 0;
    while (sigwait(&stops, &received) == 0) Stop();
  }).detach();
}

const std::atomic<bool>& StopRequested() { return stop; }

}  // namespace qvgateway
