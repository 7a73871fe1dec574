#include "driver/driver_trace.h"

#include <string.h>

#include "driver/driver_platform.h"
#include "link/trace_text.h"
#include "quorvalend/error_meanings.h"

namespace quorvalend {
namespace {

constexpr char kNoStation[] = "-";

void Head(TraceText& line, const char* label, int32_t station) {
  line.Add(label != nullptr && label[0] != '\0' ? label : "-").Add(" station ");
  if (station < 0) line.Add(kNoStation);
  else line.Number(station);
  line.Add(" ");
}

static_assert(kTraceLineCapacity <= kTraceSinkTextCapacity, "the sink would cut a whole trace line");

// Stamped with the driver's clock, the one its items are stamped with.
void Send(TraceSink* sink, const TraceText& line) {
  sink->WriteLine(ActiveDriverPlatform().clock->FileTimeNow(), line.text(), line.length());
}

void Code(TraceText& line, int32_t code) {
  line.Add("code ").Number(code).Add(" (").Add(QvErrorMeaning(code)).Add(")");
}

const char* kParityNames[] = {"none", "odd", "even", "mark", "space"};

// "read D100..D103" or "write M0010".
void Describe(TraceText& line, const BlockRequest& block) {
  line.Add(block.operation == QV_OPERATION_WRITE ? "write " : block.operation == QV_OPERATION_READ ? "read " : "op ");
  const char* area = block.registerTypeIndex == QV_TYPE_INDEX_D ? "D"
                     : block.registerTypeIndex == QV_TYPE_INDEX_M ? "M"
                                                                  : "?";
  line.Add(area).Number(block.startAddress);
  if (block.operation != QV_OPERATION_WRITE && block.endAddress != block.startAddress) {
    line.Add("..").Add(area).Number(block.endAddress);
  }
}

// "COM1 station - open COM1 9600 baud, ..., time-out 1000 ms: "
void OpenHead(TraceText& line, const PortSettings& settings) {
  char name[sizeof settings.portName + 1] = {};
  memcpy(name, settings.portName, strnlen(settings.portName, sizeof settings.portName));
  Head(line, name, -1);
  line.Add("open ").Add(name).Add(" ").Number(settings.baudRate).Add(" baud, ").Number(settings.dataBits);
  line.Add(" data bits, parity ");
  if (settings.parity < 5) line.Add(kParityNames[settings.parity]);
  else line.Number(settings.parity);
  line.Add(", ").Add(settings.stopBits == QV_STOP_BITS_TWO ? "2" : "1").Add(" stop bits, time-out ");
  line.Number(settings.replyTimeout).Add(" ms: ");
}

void Rs485Asked(TraceText& line, const Rs485Setting& rs485) {
  line.Add("RS485=").Add(Rs485ModeName(rs485.mode)).Add(" RS485DelayBeforeUs=").Number(rs485.delayBeforeUs);
  line.Add(" RS485DelayAfterUs=").Number(rs485.delayAfterUs);
}

}  // namespace

void TraceCreated(TraceSink* sink, const DriverSettings& settings) {
  if (sink == nullptr) return;
  TraceText line;
  Head(line, "-", -1);
  line.Add("created: Trace=").Add(settings.trace);
  line.Add(" ReplyWait=").Add(settings.replyWait == ReplyWait::Early ? "early" : "poll");
  line.Add(" CheckStation=").Number(settings.checkStation ? 1 : 0);
  line.Add(" TraceMaxKB=").Number(settings.traceMaxKB);
  if (settings.rs485.mode != Rs485Mode::Off) {
    line.Add(" ");
    Rs485Asked(line, settings.rs485);
  }
  if (settings.ignored[0] != '\0') line.Add("; ignored, not understood: ").Add(settings.ignored);
  Send(sink, line);
}

void TraceRs485Applied(TraceSink* sink, const PortSettings& settings, const Rs485Setting& rs485,
                       const Rs485Report& report) {
  if (sink == nullptr) return;
  char name[sizeof settings.portName + 1] = {};
  memcpy(name, settings.portName, strnlen(settings.portName, sizeof settings.portName));
  TraceText line;
  Head(line, name, -1);
  Rs485Asked(line, rs485);
  line.Add(": ").Add(report.text);
  Send(sink, line);
}

void TraceRs485Refused(TraceSink* sink, const PortSettings& settings, const Rs485Setting& rs485,
                       const Rs485Report& report) {
  if (sink == nullptr) return;
  TraceText line;
  OpenHead(line, settings);
  line.Add("failed, ");
  Code(line, QV_ERR_CONFIGURE_PORT);
  line.Add(", system error ").Number(report.systemError).Add(": the port refused ");
  Rs485Asked(line, rs485);
  line.Add(", ").Add(report.text);
  line.Add("; an adapter that switches its transmitter by itself needs RS485 left off");
  Send(sink, line);
}

void TraceOpen(TraceSink* sink, const PortSettings& settings, bool opened, int32_t systemError) {
  if (sink == nullptr) return;
  TraceText line;
  OpenHead(line, settings);
  if (opened) {
    line.Add("ok");
  } else {
    line.Add("failed, ");
    Code(line, QV_ERR_OPEN_PORT);
    line.Add(", system error ").Number(systemError);
  }
  Send(sink, line);
}

void TraceHandle(TraceSink* sink, const char* label, const char* what, QvPortHandle handle, bool ok) {
  if (sink == nullptr) return;
  TraceText line;
  Head(line, label, -1);
  line.Add(what).Add(" handle ").Number(handle).Add(ok ? ": ok" : ": failed");
  Send(sink, line);
}

void TraceTransaction(TraceSink* sink, const char* label, const BlockRequest& block, int32_t result,
                      const TransactionRecord& record) {
  if (sink == nullptr) return;
  const int32_t station = block.deviceAddress & 0xFF;
  if (record.requestLength > 0) {
    TraceText line;
    Head(line, label, station);
    Describe(line, block);
    line.Add(" -> ").Frame(record.request, record.requestLength);
    Send(sink, line);
  }
  TraceText line;
  Head(line, label, station);
  Describe(line, block);
  if (record.requestLength > 0 && record.systemError == 0) {
    line.Add(" <- ");
    if (record.replyLength > 0) line.Frame(record.reply, record.replyLength);
    else line.Add("nothing");
  }
  line.Add(result != 0 ? "  ok" : "  failed");
  if (record.error >= 0) line.Add(", "), Code(line, record.error);
  if (record.systemError != 0) line.Add(", port write failed, system error ").Number(record.systemError);
  if (record.why != nullptr) line.Add(": ").Add(record.why);
  line.Add(", ").Milliseconds(record.microseconds);
  Send(sink, line);
}

}  // namespace quorvalend
