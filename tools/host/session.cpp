#include "tools/host/session.h"

#include <string.h>

#include <algorithm>
#include <chrono>

#include "tools/host/timestamps.h"

namespace qvhost {
namespace {

constexpr int kFirstBackOffMs = 250;
constexpr int kLongestBackOffMs = 5000;

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
    const DriverError said = LastDriverError(driver);
    const char* failed = said.code == QV_ERR_CONFIGURE_PORT ? "the driver opened it but could not configure it"
                                                            : "the driver could not open it";
    *error = "--port " + line.port + ": " + (reason.empty() ? failed : reason) + "; the driver says " + Describe(said);
    return false;
  }
  return true;
}

bool Session::OpenLine(const LineRequest& line, int timeoutMs, std::string* error) {
  line_ = line;
  timeoutMs_ = timeoutMs;
  // Only OpenPort sets an object's reply time-out, and ClosePort keeps it:
  // each borrower opens and closes the port once, so that it waits as long
  // as the owner does instead of its 3000 ms from creation.
  for (size_t i = objects_.size(); i-- > 1;) {
    const bool opened = OpenOne(i, line, timeoutMs, error);
    if (opened) objects_[i]->driver->lpVtbl->ClosePort(objects_[i]->driver);
    TakeTrace();
    if (!opened) return false;
  }
  const bool opened = OpenOwnerAndLend(error);
  TakeTrace();
  return opened;
}

bool Session::OpenOwnerAndLend(std::string* error) {
  if (!OpenOne(0, line_, timeoutMs_, error)) return false;
  open_ = true;
  PortHandleRecord lent{};
  objects_.front()->io->lpVtbl->GetPortHandle(objects_.front()->io, &lent.handle);
  for (size_t i = 1; i < objects_.size(); ++i) objects_[i]->io->lpVtbl->SetPortHandle(objects_[i]->io, &lent);
  return true;
}

std::vector<std::string> Session::TakeTrace() {
  std::vector<std::string> lines = tap_.Take();
  if (!lines.empty() && traceLines_) traceLines_(lines);
  return lines;
}

bool Session::LineUp(Outcome* outcome) {
  if (!lost_) return true;
  const int64_t now = NowUnixMs();
  std::string why;
  if (now >= nextTryMs_) {
    // The old handle is dead: the owner closes it, the borrowers forget
    // it, and all get the new one (a lent handle is only a number).
    Close();
    TakeTrace();
    const bool reopened = OpenOwnerAndLend(&why);
    TakeTrace();
    if (reopened) {
      lost_ = false;
      backOffMs_ = 0;
      if (events_) events_("line back: " + line_.port + " opened again");
      return true;
    }
    backOffMs_ = std::min(backOffMs_ * 2, kLongestBackOffMs);
    nextTryMs_ = now + backOffMs_;
    why = "; opening it again failed: " + why;
  }
  outcome->ok = false;
  outcome->notSent = true;
  outcome->lineLost = true;
  outcome->unixMs = NowUnixMs();
  outcome->error = DriverError{kLineLost, ""};
  // The code's meaning says "line lost"; the reason says what was done.
  outcome->reason = line_.port + " is gone, nothing sent" + why;
  return false;
}

Outcome Session::Execute(BlockRequest& request) {
  size_t index = 0;
  while (index + 1 < stations_.size() && stations_[index] != request.deviceAddress) ++index;
  DriverObject& object = *objects_[index];
  Outcome outcome;
  if (!LineUp(&outcome)) return outcome;
  const auto start = std::chrono::steady_clock::now();
  outcome.ok = object.io->lpVtbl->ExecuteBlock(object.io, &request) != 0;
  outcome.milliseconds =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  outcome.unixMs = NowUnixMs();
  if (!outcome.ok) outcome.error = LastDriverError(object.driver);
  const TraceOutcome traced = LastOutcome(TakeTrace());
  if (!outcome.ok && traced.found) {
    outcome.reason = Reason(traced);
    outcome.refused = traced.why.compare(0, 22, "the controller refused") == 0;
    outcome.notSent = !traced.sent || traced.systemError != 0;
    outcome.lineLost = traced.systemError != 0;
    // The driver keeps the system's number as its code, so a vanished line
    // (EIO, 5) would read as a time-out.
    if (outcome.lineLost) outcome.error.code = kPortWriteFailed;
  }
  if (outcome.lineLost) {
    lost_ = true;
    backOffMs_ = kFirstBackOffMs;
    nextTryMs_ = outcome.unixMs + backOffMs_;
    if (events_) events_(outcome.reason + "; " + line_.port + " will be opened again");
  }
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

}  // namespace qvhost
