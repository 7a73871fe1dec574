// A qvsim process on the far end of a real line, ended by its PID when the
// test is done (also when it fails).
//
// POSIX: the test makes a pseudo-terminal pair itself; qvsim inherits the
// master, the driver opens the other side by its path.
// With kOwnPty qvsim makes the pseudo-terminal itself and links a path to
// it, so that it can take the line away and bring it back (the drop fault).
// Windows (under Wine): a fixture has mapped COM40 and COM41 to the two ends
// of a pty pair; qvsim serves COM41 and the driver opens COM40.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_path.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace qvtest {

class SimulatorProcess {
 public:
  enum LineKind { kInherited, kOwnPty };

  explicit SimulatorProcess(const std::vector<std::string>& args, LineKind kind = kInherited) {
    tracePath_ = UniqueTempPath("qvsim-trace-") + ".txt";
#if defined(_WIN32)
    (void)kind;  // the pair the fixture mapped serves every kind
    devicePath_ = "COM40";
    std::string command = std::string("\"") + QVSIM_PATH + "\" --port COM41 --trace";
    for (const auto& a : args) command += " " + a;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileA(tracePath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = out;
    PROCESS_INFORMATION info{};
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    started_ = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
    CloseHandle(out);
    if (started_) {
      process_ = info.hProcess;
      CloseHandle(info.hThread);
      // The port must be open on the far end before the first request; a
      // loaded machine can take seconds to start a process under Wine.
      started_ = WaitForTrace("qvsim: serving", 1, 15000);
    }
#else
    if (kind == kOwnPty) {
      devicePath_ = UniqueTempPath("qvsim-pty-");
      std::vector<std::string> all{"--pty", devicePath_};
      all.insert(all.end(), args.begin(), args.end());
      Start(all, -1);
      return;
    }
    int slave = -1;
    if (openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0) return;
    devicePath_ = ttyname(slave);
    slave_ = slave;
    std::vector<std::string> all{"--fd", std::to_string(master_)};
    all.insert(all.end(), args.begin(), args.end());
    Start(all, slave);
#endif
  }

  ~SimulatorProcess() {
#if defined(_WIN32)
    if (process_ != nullptr) {
      TerminateProcess(process_, 0);
      WaitForSingleObject(process_, 5000);
      CloseHandle(process_);
    }
    DeleteFileA(tracePath_.c_str());
#else
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    // qvsim removes its own link as it ends; one left by a killed run goes.
    if (master_ < 0 && !devicePath_.empty()) unlink(devicePath_.c_str());
    unlink(tracePath_.c_str());
#endif
  }
  SimulatorProcess(const SimulatorProcess&) = delete;
  SimulatorProcess& operator=(const SimulatorProcess&) = delete;

  bool Started() const { return started_; }
#if !defined(_WIN32)
  void Signal(int sig) const {
    if (pid_ > 0) kill(pid_, sig);
  }
#endif
  const std::string& DevicePath() const { return devicePath_; }

  std::string Trace() const {
    std::ifstream in(tracePath_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Requests the simulator has received so far.
  int RequestsSeen() const {
    const std::string trace = Trace();
    int count = 0;
    for (size_t at = trace.find("<- "); at != std::string::npos; at = trace.find("<- ", at + 1)) ++count;
    return count;
  }

  // Waits until the trace holds `text` `times` times (up to `ms`).
  bool WaitForTrace(const std::string& text, int times, int ms) const {
    for (int waited = 0;; waited += 10) {
      int seen = 0;
      const std::string trace = Trace();
      for (size_t at = trace.find(text); at != std::string::npos; at = trace.find(text, at + 1)) ++seen;
      if (seen >= times) return true;
      if (waited >= ms) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // Puts bytes on the driver's receive side, as line noise would.
  void InjectToDriver(const std::string& bytes) {
#if !defined(_WIN32)
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
#else
    (void)bytes;
#endif
  }

 private:
#if !defined(_WIN32)
  void Start(std::vector<std::string> args, int closeInChild) {
    pid_ = fork();
    if (pid_ == 0) {
      const int out = open(tracePath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(out, 2);
      if (closeInChild >= 0) close(closeInChild);
      std::vector<std::string> all{QVSIM_PATH, "--trace"};
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (auto& a : all) argv.push_back(&a[0]);
      argv.push_back(nullptr);
      execv(QVSIM_PATH, argv.data());
      _exit(127);
    }
    started_ = pid_ > 0 && WaitForTrace("qvsim: serving", 1, 5000);
  }
#endif

  bool started_ = false;
  std::string devicePath_;
  std::string tracePath_;
#if defined(_WIN32)
  HANDLE process_ = nullptr;
#else
  pid_t pid_ = -1;
  int master_ = -1;
  int slave_ = -1;
#endif
};

}  // namespace qvtest
