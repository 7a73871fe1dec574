#include "tools/host/sim_launcher.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "tools/host/driver_module.h"

namespace qvhost {
namespace {

volatile pid_t simulator = -1;
int slave = -1;
int announcements = -1;  // the simulator's standard output, kept open while it runs

constexpr int kStopWaitMs = 1000;
constexpr int kStartWaitMs = 5000;

// The simulator says "qvsim: serving ..." once its line is up; a simulator
// that refuses its arguments or its line says why on standard error and
// ends, which the user must hear as such, not as a time-out later.
bool Announced(int fd) {
  std::string line;
  for (int waited = 0; waited < kStartWaitMs && line.find('\n') == std::string::npos; waited += 50) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 50) <= 0) continue;
    char buffer[256];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    line.append(buffer, static_cast<size_t>(n));
  }
  return line.rfind("qvsim: serving", 0) == 0;
}

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
  int out[2];
  if (pipe(out) != 0) {
    *error = "--sim: cannot make a pipe";
    return false;
  }
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
    // A host that takes its stop signals with sigwait has them blocked;
    // the simulator must not inherit that.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGINT, SIG_IGN);
    close(slave);
    close(out[0]);
    if (dup2(out[1], STDOUT_FILENO) < 0) _exit(127);
    close(out[1]);
    std::vector<std::string> all{program, "--fd", std::to_string(master)};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(master);
  close(out[1]);
  announcements = out[0];
  if (child < 0) {
    *error = "--sim: cannot start " + program;
    return false;
  }
  simulator = child;
  if (!Announced(announcements)) {
    StopSimulator();
    *error = "--sim: the simulator did not start";
    return false;
  }
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
  if (announcements >= 0) close(announcements);
  slave = announcements = -1;
}

void KillSimulatorNow() {
  const pid_t pid = simulator;
  if (pid > 0) kill(pid, SIGKILL);
}

}  // namespace qvhost
