// Opening, closing, lending the line, and the two halves of an exchange.
#include <string.h>

#include "driver/cquorvalendpro.h"
#include "driver/driver_platform.h"
#include "driver/driver_trace.h"
#include "link/port_exchange.h"
#include "link/trace_text.h"

namespace quorvalend {
namespace {

constexpr int32_t kLowestBaud = 300;
constexpr int32_t kHighestBaud = 57600;
constexpr char kDevicePrefix[] = "//./";

SerialPort& Port() { return *ActiveDriverPlatform().port; }

}  // namespace

int32_t CQuorvalendPro::OpenPort(const PortSettings* settings) {
  if (settings == nullptr) return QV_FAILED;
  if (settings->baudRate < kLowestBaud || settings->baudRate > kHighestBaud) return QV_FAILED;

  char path[sizeof kDevicePrefix + sizeof settings->portName] = {};
  memcpy(path, kDevicePrefix, sizeof kDevicePrefix - 1);
  memcpy(path + sizeof kDevicePrefix - 1, settings->portName,
         strnlen(settings->portName, sizeof settings->portName));

  const PortHandle handle = Port().Open(path);
  if (handle == kNoPortHandle) {
    lastError = QV_ERR_OPEN_PORT;
    if (trace != nullptr) TraceOpen(trace, *settings, false, Port().LastSystemError());
    return QV_FAILED;
  }
  // Taken before the line settings can fail, as the host expects.
  replyTimeout = settings->replyTimeout;

  const LineSettings line{settings->baudRate, settings->dataBits, settings->parity,
                          settings->stopBits == QV_STOP_BITS_TWO};
  if (!Port().ApplyLineSettings(handle, line)) {
    const int32_t systemError = Port().LastSystemError();
    Port().Close(handle);
    lastError = QV_ERR_OPEN_PORT;
    if (trace != nullptr) TraceOpen(trace, *settings, false, systemError);
    return QV_FAILED;
  }
  // Only asked for when set: with it off the port sees nothing it did not
  // see before.
  const Rs485Setting& rs485 = this->settings.rs485;
  Rs485Report report;
  if (rs485.mode != Rs485Mode::Off && !Port().ApplyRs485(handle, rs485, &report)) {
    Port().Close(handle);
    lastError = QV_ERR_CONFIGURE_PORT;
    if (trace != nullptr) TraceRs485Refused(trace, *settings, rs485, report);
    return QV_FAILED;
  }
  Port().PrepareForPolling(handle);
  portHandle = handle;
  SetLabel(settings->portName, sizeof settings->portName);
  if (trace != nullptr) {
    TraceOpen(trace, *settings, true, 0);
    if (rs485.mode != Rs485Mode::Off) TraceRs485Applied(trace, *settings, rs485, report);
  }
  return QV_OK;
}

void CQuorvalendPro::SetLabel(const char* name, size_t size) {
  memset(portLabel, 0, sizeof portLabel);
  const size_t length = strnlen(name, size);
  memcpy(portLabel, name, length < sizeof portLabel ? length : sizeof portLabel - 1);
}

int32_t CQuorvalendPro::ClosePort() {
  if (portHandle == QV_NO_PORT) return QV_OK;
  const bool closed = Port().Close(portHandle);
  if (trace != nullptr) TraceHandle(trace, portLabel, "close", portHandle, closed);
  if (!closed) return QV_FAILED;
  portHandle = QV_NO_PORT;
  return QV_OK;
}

int32_t CQuorvalendPro::SetPortHandle(const PortHandleRecord* record) {
  if (record == nullptr) return QV_OK;
  portHandle = record->handle;
  if (trace != nullptr) {
    // A borrower never learns the port's name; the handle stands for it.
    TraceText label;
    label.Add("handle ").Number(portHandle);
    SetLabel(label.text(), label.length());
    TraceHandle(trace, portLabel, "lend", portHandle, true);
  }
  return QV_OK;
}

int32_t CQuorvalendPro::GetPortHandle(QvPortHandle* handle) {
  if (handle != nullptr) *handle = portHandle;
  return QV_OK;
}

int32_t CQuorvalendPro::SendFrame(const uint8_t* frame, int32_t* length) {
  int32_t platformError = 0;
  switch (quorvalend::SendFrame(Port(), portHandle, frame, length, &platformError)) {
    case ExchangeStatus::Done:
      return QV_OK;
    case ExchangeStatus::WriteFailed:
      lastError = platformError;
      return QV_FAILED;
    default:
      return QV_FAILED;
  }
}

int32_t CQuorvalendPro::ReceiveReply(uint8_t* buffer, int32_t* length) {
  switch (quorvalend::ReceiveReply(Port(), *ActiveDriverPlatform().clock, portHandle, replyTimeout, buffer,
                                   length, settings.replyWait)) {
    case ExchangeStatus::Done:
      return QV_OK;
    case ExchangeStatus::TimedOut:
      lastError = QV_ERR_RECEIVE_TIMEOUT;
      return QV_FAILED;
    default:
      return QV_FAILED;
  }
}

}  // namespace quorvalend
