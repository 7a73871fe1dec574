#include "tools/qvgateway/gateway_signals.h"

#include <signal.h>
#include <unistd.h>

#include "tools/host/object_settings.h"
#include "tools/host/sim_launcher.h"

namespace qvgateway {
namespace {

std::atomic<bool> stop{false};

void OnStop(int) {
  if (stop.exchange(true)) {
    qvpoll::KillSimulatorNow();
    qvpoll::RemovePrivateTraceNow();
    _exit(1);
  }
}

}  // namespace

void InstallStopSignals() {
  struct sigaction action{};
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

const std::atomic<bool>& StopRequested() { return stop; }

}  // namespace qvgateway
