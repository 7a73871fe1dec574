#include "tools/qvpoll/sim_launcher.h"

#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "tools/qvpoll/driver_module.h"

namespace qvpoll {
namespace {

volatile pid_t simulator = -1;
int slave = -1;

constexpr int kStopWaitMs = 1000;

}  // namespace

bool StartSimulator(const std::vector<std::string>& args, std::string* device, std::string* error) {
  const std::string program = ProgramDirectory() + "qvsim";
  if (access(program.c_str(), X_OK) != 0) {
    *error = "--sim: cannot find " + program + " (qvsim must be beside qvpoll)";
    return false;
  }
  int master = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    *error = "--sim: cannot make a pseudo-terminal";
    return false;
  }
  *device = ttyname(slave);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child == 0) {
    // Ends with qvpoll whatever ends qvpoll, even SIGKILL; and if qvpoll is
    // already gone, at once.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    // Ctrl-C and a hang-up at the terminal are qvpoll's to handle: it stops
    // the simulator itself, after the transaction in flight.
    setpgid(0, 0);
    signal(SIGINT, SIG_IGN);
    close(slave);
    std::vector<std::string> all{program, "--fd", std::to_string(master)};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    if (freopen("/dev/null", "w", stdout) == nullptr) _exit(127);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(master);
  if (child < 0) {
    *error = "--sim: cannot start " + program;
    return false;
  }
  simulator = child;
  return true;
}

void StopSimulator() {
  const pid_t pid = simulator;
  if (pid > 0) {
    kill(pid, SIGTERM);
    int status = 0;
    for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited += 10) {
      if (waited >= kStopWaitMs) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      const timespec pause{0, 10 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
    simulator = -1;
  }
  if (slave >= 0) close(slave);
  slave = -1;
}

void KillSimulatorNow() {
  const pid_t pid = simulator;
  if (pid > 0) kill(pid, SIGKILL);
}

}  // namespace qvpoll
