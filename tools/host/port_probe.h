// Why a port cannot be used, found by the tool before the driver opens it:
// the driver has one message for every cause ("opening the serial port
// failed"), and the user needs the cause.
#pragma once

#include <string>

namespace qvhost {

struct LineRequest {
  std::string port;  // as the user typed it, as the driver takes it
  int baud = 9600;
  int dataBits = 8;
  int parity = 0;
  int stopBits = 1;
};

// The name the driver is given for the port the user named: a relative
// path made absolute, and a name too long for the driver (31 characters,
// e.g. a stable /dev/serial/by-id/ link) replaced by the device it leads
// to. `note` says what was done, for -v; false with why the port cannot be
// named to the driver.
bool DriverPortName(const std::string& typed, std::string* name, std::string* note, std::string* error);

// "no such device", "not a serial device", "in use by another program",
// "line settings refused: ..."; empty when nothing is wrong. Leaves the
// port as it found it.
std::string ProbePort(const LineRequest& line);

}  // namespace qvhost
