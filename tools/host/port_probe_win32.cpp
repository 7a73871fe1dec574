#include <windows.h>

#include "tools/host/port_probe.h"

namespace qvhost {

bool DriverPortName(const std::string& typed, std::string* name, std::string*, std::string* error) {
  if (typed.size() > 31) {
    *error = "--port " + typed + ": the driver takes names of up to 31 characters";
    return false;
  }
  *name = typed;
  return true;
}

std::string ProbePort(const LineRequest& line) {
  const std::string& p = line.port;
  const std::string path = p.rfind("\\\\.\\", 0) == 0 || p.rfind("//./", 0) == 0 ? p : "\\\\.\\" + p;
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return "no such port";
    if (error == ERROR_ACCESS_DENIED) return "in use by another program (or access denied)";
    return "cannot be opened (error " + std::to_string(error) + ")";
  }
  std::string reason;
  DCB original{};
  original.DCBlength = sizeof original;
  if (!GetCommState(handle, &original)) {
    reason = "not a serial device, or the device behind it is gone (error " + std::to_string(GetLastError()) + ")";
  } else {
    DCB wanted = original;
    wanted.BaudRate = static_cast<DWORD>(line.baud);
    wanted.ByteSize = static_cast<BYTE>(line.dataBits);
    wanted.Parity = static_cast<BYTE>(line.parity);
    wanted.StopBits = line.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    if (!SetCommState(handle, &wanted)) {
      reason = "line settings refused by the port (error " + std::to_string(GetLastError()) + ")";
    }
    SetCommState(handle, &original);
  }
  CloseHandle(handle);
  return reason;
}

}  // namespace qvhost
