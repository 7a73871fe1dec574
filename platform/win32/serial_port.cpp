#include <windows.h>

#include <stdio.h>

#include "platform/serial_port.h"

namespace quorvalend {
namespace {

HANDLE AsHandle(PortHandle handle) { return reinterpret_cast<HANDLE>(handle); }

// The system's own sentence for an error, without its full stop and line end.
void SystemWords(DWORD error, char* out, DWORD size) {
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, out, size,
                           nullptr);
  while (n > 0 && (out[n - 1] == '\r' || out[n - 1] == '\n' || out[n - 1] == '.' || out[n - 1] == ' ')) --n;
  if (n == 0) snprintf(out, size, "an error");
  else out[n] = '\0';
}

constexpr DWORD kReceiveQueue = 1024;
constexpr DWORD kTransmitQueue = 512;
constexpr DWORD kWriteMsPerByte = 10;

class Win32SerialPort final : public SerialPort {
 public:
  PortHandle Open(const char* devicePath) override {
    HANDLE handle = CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return kNoPortHandle;
    SetupComm(handle, kReceiveQueue, kTransmitQueue);
    return reinterpret_cast<PortHandle>(handle);
  }

  bool ApplyLineSettings(PortHandle handle, const LineSettings& settings) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(AsHandle(handle), &dcb);
    dcb.BaudRate = static_cast<DWORD>(settings.baudRate);
    dcb.ByteSize = settings.dataBits;
    dcb.Parity = settings.parity;
    dcb.StopBits = settings.twoStopBits ? TWOSTOPBITS : ONESTOPBIT;
    dcb.EvtChar = 0;
    return SetCommState(AsHandle(handle), &dcb) != 0;
  }

  // The serial driver raises RTS while it sends and drops it after; it has
  // no delays around that and cannot do it the other way round.
  bool ApplyRs485(PortHandle handle, const Rs485Setting& setting, Rs485Report* report) override {
    if (setting.mode == Rs485Mode::Off) return true;
    if (setting.mode == Rs485Mode::RtsAfterSend) {
      report->systemError = ERROR_NOT_SUPPORTED;
      snprintf(report->text, sizeof report->text,
               "Windows can only raise RTS while sending (rts-on-send), not drop it (error %ld)",
               static_cast<long>(ERROR_NOT_SUPPORTED));
      return false;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    bool applied = GetCommState(AsHandle(handle), &dcb) != 0;
    if (applied) {
      dcb.fRtsControl = RTS_CONTROL_TOGGLE;
      applied = SetCommState(AsHandle(handle), &dcb) != 0;
    }
    if (!applied) {
      const DWORD error = GetLastError();
      report->systemError = static_cast<int32_t>(error);
      char words[120] = {};
      SystemWords(error, words, sizeof words);
      snprintf(report->text, sizeof report->text, "Windows answered %s (error %lu)", words,
               static_cast<unsigned long>(error));
      return false;
    }
    report->systemError = 0;
    if (setting.delayBeforeUs != 0 || setting.delayAfterUs != 0) {
      snprintf(report->text, sizeof report->text,
               "RTS raised while sending by the serial driver, which has no delays: RS485DelayBeforeUs and "
               "RS485DelayAfterUs are not applied");
    } else {
      snprintf(report->text, sizeof report->text, "RTS raised while sending by the serial driver");
    }
    return true;
  }

  void PrepareForPolling(PortHandle handle) override {
    SetCommMask(AsHandle(handle), EV_RXCHAR | EV_BREAK);
    PurgeComm(AsHandle(handle), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = kWriteMsPerByte;
    timeouts.WriteTotalTimeoutConstant = 0;
    SetCommTimeouts(AsHandle(handle), &timeouts);
  }

  bool Close(PortHandle handle) override { return CloseHandle(AsHandle(handle)) != 0; }

  void Purge(PortHandle handle) override { PurgeComm(AsHandle(handle), PURGE_TXCLEAR | PURGE_RXCLEAR); }

  bool Write(PortHandle handle, const uint8_t* data, int32_t length, int32_t* written,
             int32_t* platformError) override {
    DWORD count = 0;
    if (!WriteFile(AsHandle(handle), data, static_cast<DWORD>(length), &count, nullptr)) {
      *platformError = static_cast<int32_t>(GetLastError());
      return false;
    }
    *written = static_cast<int32_t>(count);
    return true;
  }

  int32_t BytesWaiting(PortHandle handle) override {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(AsHandle(handle), &errors, &status)) return 0;
    return static_cast<int32_t>(status.cbInQue);
  }

  int32_t Read(PortHandle handle, uint8_t* buffer, int32_t capacity) override {
    DWORD count = 0;
    if (!ReadFile(AsHandle(handle), buffer, static_cast<DWORD>(capacity), &count, nullptr)) return -1;
    return static_cast<int32_t>(count);
  }

  // A one-byte read that returns when the byte comes or after `ms`, then
  // what else has arrived. A read of more waits out the whole time even
  // when bytes are there on some drivers, so the first read takes one.
  int32_t ReadWithin(PortHandle handle, uint8_t* buffer, int32_t capacity, uint32_t ms) override {
    if (capacity <= 0) return 0;
    const double started = NowMs();
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = ms;
    timeouts.WriteTotalTimeoutMultiplier = kWriteMsPerByte;
    SetCommTimeouts(AsHandle(handle), &timeouts);
    DWORD first = 0;
    const bool read = ReadFile(AsHandle(handle), buffer, 1, &first, nullptr) != 0;
    if (!read || first == 0) {
      // Some USB serial drivers ignore the time-outs and return at once
      // with nothing: the rest of the slice is slept, so a loop never spins.
      const double left = ms - (NowMs() - started);
      if (left >= 1.0) Sleep(static_cast<DWORD>(left));
      return read ? 0 : -1;
    }
    int32_t got = 1;
    int32_t more = BytesWaiting(handle);
    if (more > capacity - got) more = capacity - got;
    if (more > 0) {
      const int32_t rest = Read(handle, buffer + got, more);
      if (rest > 0) got += rest;
    }
    return got;
  }

  int32_t LastSystemError() override { return static_cast<int32_t>(GetLastError()); }

 private:
  static double NowMs() {
    LARGE_INTEGER counter{}, frequency{};
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
  }
};

// At namespace scope: a function-local object would need a first-call
// guard, and with it the threading runtime.
Win32SerialPort systemSerialPort;

}  // namespace

SerialPort& SystemSerialPort() { return systemSerialPort; }

}  // namespace quorvalend
