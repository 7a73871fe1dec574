// The driver as a data server holds it: the module loaded, one driver
// object, its two interfaces. Only the public header is used.
#pragma once

#include <string>

#include "quorvalend/quorvalend.h"

namespace qvpoll {

class DriverSession {
 public:
  DriverSession() = default;
  ~DriverSession();
  DriverSession(const DriverSession&) = delete;
  DriverSession& operator=(const DriverSession&) = delete;

  // `modulePath` empty: Windows activates by ProgID through the registry,
  // Linux loads Quorvalend.so from beside this program.
  bool Open(const std::string& modulePath, std::string* error);

  IDeviceDriver* driver = nullptr;
  IDeviceIo* io = nullptr;

 private:
  void* module_ = nullptr;
  bool comInitialized_ = false;
};

// The directory this program was started from, with a trailing separator.
std::string ProgramDirectory();

}  // namespace qvpoll
