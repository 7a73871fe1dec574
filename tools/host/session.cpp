#include "tools/host/session.h"

#include <string.h>

#include <algorithm>
#include <chrono>

#include "tools/host/timestamps.h"

namespace qvpoll {
namespace {

PortSettings Settings(const LineRequest& line, int timeoutMs) {
  PortSettings settings{};
  memcpy(settings.portName, line.port.c_str(), std::min(line.port.size(), sizeof settings.portName - 1));
  settings.baudRate = line.baud;
  settings.dataBits = static_cast<uint8_t>(line.dataBits);
  settings.stopBits = static_cast<int16_t>(line.stopBits == 2 ? QV_STOP_BITS_TWO : 1);
  settings.parity = static_cast<uint8_t>(line.parity);
  settings.replyTimeout = static_cast<int16_t>(timeoutMs);
  return settings;
}

}  // namespace

bool Session::Create(DriverModule& module, const std::vector<int>& stations, std::string* error) {
  stations_ = stations;
  for (size_t i = 0; i < stations.size(); ++i) {
    auto object = module.Create(error);
    if (object == nullptr) return false;
    objects_.push_back(std::move(object));
  }
  return !objects_.empty();
}

bool Session::OpenOne(size_t index, const LineRequest& line, int timeoutMs, std::string* error) {
  PortSettings settings{};
  if (line.port.size() >= sizeof settings.portName) {
    *error = "--port " + line.port + ": the driver takes names of up to 31 characters";
    return false;
  }
  // Asked before the driver touches the port, so that its one message for
  // every cause comes with the cause.
  const std::string reason = ProbePort(line);
  settings = Settings(line, timeoutMs);
  IDeviceDriver* driver = objects_[index]->driver;
  if (!driver->lpVtbl->OpenPort(driver, 0, &settings)) {
    *error = "--port " + line.port + ": " + (reason.empty() ? "the driver could not open it" : reason) +
             "; the driver says " + Describe(LastDriverError(driver));
    return false;
  }
  return true;
}

bool Session::OpenLine(const LineRequest& line, int timeoutMs, std::string* error) {
  // Only OpenPort sets an object's reply time-out, and ClosePort keeps it:
  // each borrower opens and closes the port once, so that it waits as long
  // as the owner does instead of its 3000 ms from creation.
  for (size_t i = objects_.size(); i-- > 1;) {
    if (!OpenOne(i, line, timeoutMs, error)) return false;
    objects_[i]->driver->lpVtbl->ClosePort(objects_[i]->driver);
  }
  if (!OpenOne(0, line, timeoutMs, error)) return false;
  open_ = true;
  PortHandleRecord lent{};
  objects_.front()->io->lpVtbl->GetPortHandle(objects_.front()->io, &lent.handle);
  for (size_t i = 1; i < objects_.size(); ++i) objects_[i]->io->lpVtbl->SetPortHandle(objects_[i]->io, &lent);
  return true;
}

Outcome Session::Execute(BlockRequest& request) {
  size_t index = 0;
  while (index + 1 < stations_.size() && stations_[index] != request.deviceAddress) ++index;
  DriverObject& object = *objects_[index];
  Outcome outcome;
  const auto start = std::chrono::steady_clock::now();
  outcome.ok = object.io->lpVtbl->ExecuteBlock(object.io, &request) != 0;
  outcome.milliseconds =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  outcome.unixMs = NowUnixMs();
  if (!outcome.ok) outcome.error = LastDriverError(object.driver);
  return outcome;
}

void Session::Close() {
  if (!open_) return;
  open_ = false;
  // A borrower closes a handle it holds; only the owner may.
  const PortHandleRecord none{QV_NO_PORT};
  for (size_t i = 1; i < objects_.size(); ++i) objects_[i]->io->lpVtbl->SetPortHandle(objects_[i]->io, &none);
  objects_.front()->driver->lpVtbl->ClosePort(objects_.front()->driver);
}

}  // namespace qvpoll
