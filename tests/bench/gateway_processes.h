// qvsim and qvgateway as separate processes for the gateway bench, each
// ended by its PID.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace gwbench {

// `args[0]` is a path, or a name looked up in PATH; standard output goes to
// `outFile`.
inline pid_t Spawn(const std::vector<std::string>& args, const std::string& errorFile,
                   const std::string& outFile = "/dev/null") {
  const pid_t pid = fork();
  if (pid == 0) {
    FILE* err = fopen(errorFile.c_str(), "w");
    if (err != nullptr) dup2(fileno(err), STDERR_FILENO);
    FILE* out = fopen(outFile.c_str(), "w");
    if (out != nullptr) dup2(fileno(out), STDOUT_FILENO);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

inline void End(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  for (int i = 0; i < 300 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(10000);
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A simulator paced to `baud` on a pty linked at `link` (serving
// `stations`, with `moreSimArgs`; what it prints in WORK/qvsim.out), and a
// gateway configured by `toml` (its port line pointing at the link).
class Rig {
 public:
  Rig(const std::string& bin, const std::string& work, int baud, const std::string& toml,
      const std::vector<int>& stations = {1}, const std::vector<std::string>& moreSimArgs = {}) {
    const std::string link = work + "/line";
    std::vector<std::string> simArgs{bin + "/qvsim", "--pty", link, "--baud", std::to_string(baud), "--set", "D100=1234"};
    for (int s : stations) simArgs.insert(simArgs.end(), {"--station", std::to_string(s)});
    simArgs.insert(simArgs.end(), moreSimArgs.begin(), moreSimArgs.end());
    sim_ = Spawn(simArgs, work + "/qvsim.log", work + "/qvsim.out");
    struct stat st {};
    for (int i = 0; i < 500 && lstat(link.c_str(), &st) != 0; ++i) usleep(10000);
    std::ofstream(work + "/gw.toml") << toml;
    log_ = work + "/gw.log";
    unlink(log_.c_str());  // the last rig's log names the last rig's port
    gateway_ = Spawn({bin + "/qvgateway", "--config", work + "/gw.toml"}, log_);
    for (int i = 0; i < 500 && port == 0; ++i) {
      const std::string text = ReadFile(log_);
      const size_t at = text.find("Modbus TCP on 127.0.0.1:");
      if (at != std::string::npos) port = atoi(text.c_str() + at + 24);
      usleep(10000);
    }
    if (port == 0) fprintf(stderr, "qvgateway did not start: %s%s\n", ReadFile(log_).c_str(), ReadFile(work + "/qvsim.log").c_str());
  }
  ~Rig() {
    End(gateway_);
    End(sim_);
    if (failed_ != nullptr && *failed_ != failedBefore_) fprintf(stderr, "qvgateway's log:\n%s", ReadFile(log_).c_str());
  }
  // Shows the gateway's log when `failed` has grown by the end.
  void Watch(const std::atomic<int>* failed) {
    failed_ = failed;
    failedBefore_ = failed->load();
  }
  pid_t Gateway() const { return gateway_; }
  std::string Log() const { return ReadFile(log_); }
  int port = 0;

 private:
  pid_t sim_ = -1, gateway_ = -1;
  std::string log_;
  const std::atomic<int>* failed_ = nullptr;
  int failedBefore_ = 0;
};

// Resident kB and open descriptors of `pid`.
inline void Resources(pid_t pid, long* rssKb, int* fds) {
  std::istringstream status(ReadFile("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  *rssKb = -1;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) *rssKb = atol(line.c_str() + 6);
  }
  *fds = 0;
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
  for (int fd = 0; fd < 4096; ++fd) {
    struct stat st {};
    if (lstat((dir + std::to_string(fd)).c_str(), &st) == 0) ++*fds;
  }
}

inline int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

inline bool Listening(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return up;
}

// A broker on loopback only, keeping nothing on disk; ended by its PID.
class Broker {
 public:
  explicit Broker(const std::string& work) : port(FreePort()) {
    const std::string conf = work + "/mosquitto.conf";
    // As root mosquitto would switch to a user of its own.
    std::ofstream(conf) << (geteuid() == 0 ? "user root\n" : "") << "listener " << port
                        << " 127.0.0.1\nallow_anonymous true\n";
    pid_ = Spawn({"mosquitto", "-c", conf}, work + "/mosquitto.log");
    for (int i = 0; i < 500 && !Listening(port); ++i) usleep(10000);
    if (!Listening(port)) {
      fprintf(stderr, "mosquitto did not listen on port %d: %s\n", port, ReadFile(work + "/mosquitto.log").c_str());
      port = 0;
    }
  }
  ~Broker() { End(pid_); }
  int port;

 private:
  pid_t pid_ = -1;
};

// Unix seconds from qvsim's "counting up every N ms from S (Unix time)".
inline double TickStart(const std::string& simOut) {
  const size_t at = simOut.find(" ms from ");
  return at == std::string::npos ? 0 : atof(simOut.c_str() + at + 9);
}


// The share `p` of sorted values lies at or below.
inline double At(const std::vector<double>& sorted, double p) {
  return sorted[std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size())))];
}

}  // namespace gwbench
