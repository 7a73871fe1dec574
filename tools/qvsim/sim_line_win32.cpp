#include <windows.h>

#include "tools/qvsim/sim_line.h"

namespace qvsim {

bool SimLine::Open(const std::string& where, int baud, std::string* error) {
  if (where.rfind("pty:", 0) == 0 || where.rfind("fd:", 0) == 0) {
    *error = "pseudo-terminals and descriptors exist only on POSIX systems; name a COM port";
    return false;
  }
  where_ = where;
  baud_ = baud;
  return OpenDevice(where, error);
}

bool SimLine::OpenDevice(const std::string& where, std::string* error) {
  const int baud = baud_;
  const std::string path = where.rfind("\\\\.\\", 0) == 0 || where.rfind("//./", 0) == 0 ? where : "\\\\.\\" + where;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = "cannot open " + where + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  // A port whose line has gone still opens; its state cannot be read.
  if (!GetCommState(h, &dcb)) {
    *error = where + " has no line behind it (error " + std::to_string(GetLastError()) + ")";
    CloseHandle(h);
    return false;
  }
  dcb.BaudRate = baud > 0 ? static_cast<DWORD>(baud) : CBR_9600;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  SetCommState(h, &dcb);
  COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
  SetCommTimeouts(h, &timeouts);
  handle_ = reinterpret_cast<intptr_t>(h);
  clientPath_ = where;
  return true;
}

int SimLine::Read(uint8_t* buffer, int capacity, int waitMs) {
  DWORD count = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, static_cast<DWORD>(capacity), &count, nullptr) ||
      count == 0) {
    Sleep(static_cast<DWORD>(waitMs));
    return 0;
  }
  return static_cast<int>(count);
}

bool SimLine::Write(const std::string& bytes) {
  DWORD count = 0;
  return WriteFile(reinterpret_cast<HANDLE>(handle_), bytes.data(), static_cast<DWORD>(bytes.size()), &count,
                   nullptr) &&
         count == bytes.size();
}

int SimLine::Baud() const {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  return GetCommState(reinterpret_cast<HANDLE>(handle_), &dcb) ? static_cast<int>(dcb.BaudRate) : 0;
}

bool SimLine::OpenPty(const std::string&, std::string* error) {
  *error = "pseudo-terminals exist only on POSIX systems";
  return false;
}

// Closing the port is all an unplug looks like from this end; what the
// client sees depends on what joins the two ports.
bool SimLine::Drop(std::string*) {
  Close();
  return true;
}

bool SimLine::Restore(std::string* error) { return OpenDevice(where_, error); }

void SimLine::Close() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

void SleepMs(int ms) { Sleep(static_cast<DWORD>(ms)); }

void SleepUs(int64_t us) {
  if (us > 0) Sleep(static_cast<DWORD>((us + 999) / 1000));
}

int64_t NowUs() {
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return static_cast<int64_t>(now.QuadPart * 1000000 / frequency.QuadPart);
}

}  // namespace qvsim
