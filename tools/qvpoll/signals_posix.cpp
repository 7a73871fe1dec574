#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "tools/qvpoll/signals.h"
#include "tools/host/object_settings.h"
#include "tools/host/sim_launcher.h"

namespace qvpoll {
namespace {

volatile sig_atomic_t interrupts = 0;

// The i386 calling convention promises a stack aligned to 16 bytes at every
// call, and the compiler places stack objects (and AddressSanitizer their
// guard zones) by it. The kernel enters a handler that way; qemu-i386 (7.2)
// aligns the handler's stack to 8 bytes only, so the handlers align it
// themselves.
#if defined(__i386__)
#define QV_SIGNAL_HANDLER __attribute__((force_align_arg_pointer))
#else
#define QV_SIGNAL_HANDLER
#endif

void Say(const char* text) {
  if (write(STDERR_FILENO, text, strlen(text)) < 0) return;
}

QV_SIGNAL_HANDLER void QuitNow(int signalNumber) {
  qvhost::KillSimulatorNow();
  qvhost::RemovePrivateTraceNow();
  // Ends the way the signal would have, so that a shell sees it.
  signal(signalNumber, SIG_DFL);
  sigset_t pending;
  sigemptyset(&pending);
  sigaddset(&pending, signalNumber);
  sigprocmask(SIG_UNBLOCK, &pending, nullptr);
  raise(signalNumber);
  _exit(128 + signalNumber);
}

QV_SIGNAL_HANDLER void Interrupt(int signalNumber) {
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
