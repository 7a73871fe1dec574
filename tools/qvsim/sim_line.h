// The simulator's end of the line: a serial device, a pseudo-terminal it
// makes itself, or (POSIX) a descriptor handed over by a test.
#pragma once

#include <stdint.h>

#include <string>

namespace qvsim {

class SimLine {
 public:
  // One of: device path; "pty:LINK" (POSIX: make a pseudo-terminal, link
  // LINK to it); "fd:N" (POSIX: an inherited descriptor).
  bool Open(const std::string& where, int baud, std::string* error);
  // The device a client should open (the pty's path for "pty:").
  const std::string& ClientPath() const { return clientPath_; }
  // Reads what has arrived, waiting at most `waitMs`.
  int Read(uint8_t* buffer, int capacity, int waitMs);
  bool Write(const std::string& bytes);
  // The speed the line is set to now, in baud; 0 when it cannot be told.
  int Baud() const;
  void Close();

  // The line goes away as an unplugged adapter does: a pty qvsim made is
  // closed (the client sees a hang-up) and its link removed; a port is
  // closed. Restore brings it back under the same name: a new pty behind
  // the link, the port opened again.
  bool Drop(std::string* error);
  bool Restore(std::string* error);

 private:
  bool OpenPty(const std::string& link, std::string* error);
  bool OpenDevice(const std::string& path, std::string* error);

  std::string where_;
  int baud_ = 0;
  intptr_t handle_ = -1;
  intptr_t keepOpen_ = -1;
  std::string clientPath_;
  std::string link_;
  std::string ptyPath_;
};

void SleepMs(int ms);
void SleepUs(int64_t us);
int64_t NowUs();

}  // namespace qvsim
