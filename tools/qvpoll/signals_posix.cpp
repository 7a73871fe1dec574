#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "tools/qvpoll/signals.h"
#include "tools/host/object_settings.h"
#include "tools/host/sim_launcher.h"

namespace qvpoll {
namespace {

volatile sig_atomic_t interrupts = 0;

void Say(const char* text) {
  if (write(STDERR_FILENO, text, strlen(text)) < 0) return;
}

void QuitNow(int signalNumber) {
  KillSimulatorNow();
  RemovePrivateTraceNow();
  // Ends the way the signal would have, so that a shell sees it.
  signal(signalNumber, SIG_DFL);
  sigset_t pending;
  sigemptyset(&pending);
  sigaddset(&pending, signalNumber);
  sigprocmask(SIG_UNBLOCK, &pending, nullptr);
  raise(signalNumber);
  _exit(128 + signalNumber);
}

void Interrupt(int signalNumber) {
  if (++interrupts == 1) {
    Say("qvpoll: stopping after the current transaction (Ctrl-C again to quit at once)\n");
    return;
  }
  QuitNow(signalNumber);
}

void On(int signalNumber, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(signalNumber, &action, nullptr);
}

}  // namespace

void InstallSignalHandlers() {
  On(SIGINT, Interrupt);
  On(SIGTERM, QuitNow);
  On(SIGHUP, QuitNow);
  On(SIGPIPE, QuitNow);
}

bool StopRequested() { return interrupts > 0; }

}  // namespace qvpoll
