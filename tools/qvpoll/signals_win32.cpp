#include <windows.h>

#include "tools/host/object_settings.h"
#include "tools/qvpoll/signals.h"

namespace qvpoll {
namespace {

volatile LONG interrupts = 0;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    if (InterlockedIncrement(&interrupts) == 1) {
      static const char kNote[] = "qvpoll: stopping after the current transaction (Ctrl-C again to quit at once)\n";
      DWORD written = 0;
      WriteFile(GetStdHandle(STD_ERROR_HANDLE), kNote, sizeof kNote - 1, &written, nullptr);
      return TRUE;
    }
  }
  qvhost::RemovePrivateTraceNow();
  ExitProcess(130);
}

}  // namespace

void InstallSignalHandlers() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

bool StopRequested() { return interrupts > 0; }

}  // namespace qvpoll
