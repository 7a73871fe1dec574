#include "tools/qvpoll/sim_launcher.h"

#include "tools/qvpoll/driver_session.h"

#if defined(_WIN32)

namespace qvpoll {

bool StartSimulator(const std::vector<std::string>&, std::string*, std::string* error) {
  *error = "--sim needs a pseudo-terminal, which Windows lacks: run qvsim on one end of a COM pair and "
           "--port the other";
  return false;
}
void StopSimulator() {}

}  // namespace qvpoll

#else

#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qvpoll {
namespace {

pid_t simulator = -1;
int master = -1, slave = -1;

}  // namespace

bool StartSimulator(const std::vector<std::string>& args, std::string* device, std::string* error) {
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    *error = "cannot make a pseudo-terminal";
    return false;
  }
  *device = ttyname(slave);
  const std::string program = ProgramDirectory() + "qvsim";
  if (access(program.c_str(), X_OK) != 0) {
    *error = "cannot find " + program;
    return false;
  }
  simulator = fork();
  if (simulator == 0) {
    // The simulator keeps quiet and leaves Ctrl-C to qvpoll, which stops it.
    signal(SIGINT, SIG_IGN);
    close(slave);
    const std::string fd = std::to_string(master);
    std::vector<std::string> all{program, "--fd", fd};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    freopen("/dev/null", "w", stdout);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  if (simulator < 0) {
    *error = "cannot start " + program;
    return false;
  }
  close(master);
  master = -1;
  return true;
}

void StopSimulator() {
  if (simulator > 0) {
    kill(simulator, SIGTERM);
    int status = 0;
    waitpid(simulator, &status, 0);
    simulator = -1;
  }
  if (slave >= 0) close(slave);
  slave = -1;
}

}  // namespace qvpoll

#endif
