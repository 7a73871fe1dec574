// The driver as a data server holds it: the module loaded, driver objects
// made by its class object, each with its two interfaces. Only the public
// header is used.
#pragma once

#include <memory>
#include <string>

#include "quorvalend/quorvalend.h"

namespace qvhost {

// One driver object: one station's view of the line.
class DriverObject {
 public:
  DriverObject(IDeviceDriver* driver, IDeviceIo* io) : driver(driver), io(io) {}
  ~DriverObject();
  DriverObject(const DriverObject&) = delete;
  DriverObject& operator=(const DriverObject&) = delete;

  IDeviceDriver* const driver;
  IDeviceIo* const io;
};

class DriverModule {
 public:
  DriverModule() = default;
  ~DriverModule();
  DriverModule(const DriverModule&) = delete;
  DriverModule& operator=(const DriverModule&) = delete;

  // `modulePath` empty: Windows activates by ProgID through the registry,
  // or loads Quorvalend.dll from beside this program when the class is not
  // registered; Linux loads Quorvalend.so from beside this program, else
  // from ../lib/<multiarch>/quorvalend/ (where the package puts it).
  bool Load(const std::string& modulePath, std::string* error);
  std::unique_ptr<DriverObject> Create(std::string* error);
  // For --version: the file the driver was loaded from, how it was found,
  // and its version (Windows: the version resource's file version; Linux:
  // the module's own version text). Creates and releases one object.
  std::string Describe();

 private:
  std::string path_;
  void* module_ = nullptr;
  bool byProgId_ = false;
  bool comInitialized_ = false;
};

// The directory this program was started from, with a trailing separator.
std::string ProgramDirectory();

}  // namespace qvhost
