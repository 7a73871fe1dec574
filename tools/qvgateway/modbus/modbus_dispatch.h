// One Modbus request PDU to its response PDU: which function, which unit,
// which registers, every limit checked before anything reaches the line,
// then the values through a RegisterService (the gateway's cache and line
// owner, or a fake line when fuzzed). Pure: no sockets, no driver.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <vector>

#include "tools/qvgateway/line/line_result.h"
#include "tools/qvgateway/line/register_rules.h"

namespace qvgateway {

// Modbus exception codes, and what the gateway means by each.
enum Exception : uint8_t {
  kOk = 0,
  kIllegalFunction = 0x01,
  kIllegalAddress = 0x02,    // outside the station's read (or write) ranges
  kIllegalValue = 0x03,      // a count over the protocol's limits, a malformed request
  kDeviceFailure = 0x04,     // the controller refused or answered garbage
  kBusy = 0x06,              // the line's queue is full, or the request waited past its deadline
  kPathUnavailable = 0x0A,   // no station has this unit id
  kTargetNoResponse = 0x0B,  // silent, demoted, line lost, or the gateway stopping
  kNoReply = 0xFF,           // the client went away: nothing is sent
};

// The line owner's answer as the exception a Modbus client gets (kOk when
// done): a write stopped part way is a device failure whatever stopped it,
// since the client cannot tell which registers were written.
uint8_t ToModbusException(const LineResult& result);

// What the dispatch needs from the gateway. Each returns kOk or the
// exception the request gets.
class RegisterService {
 public:
  virtual ~RegisterService() = default;
  // `count` D registers or M groups from `first`, each fresh enough to serve.
  virtual uint8_t Read(const StationRules& station, Area area, int first, int count, uint16_t* values) = 0;
  // D registers, one driver write each, in address order.
  virtual uint8_t WriteRegisters(const StationRules& station, int first, const std::vector<uint16_t>& values) = 0;
  // Coils from `firstCoil`: each touched group read fresh and written back.
  virtual uint8_t WriteCoils(const StationRules& station, int firstCoil, const std::vector<bool>& bits) = 0;
  virtual void Status(const StationRules& station, uint16_t registers[kStatusRegisterCount]) = 0;
};

using UnitDirectory = std::function<const StationRules*(int unit)>;

// `pdu`: function code and data. Returns the response PDU (function and
// data, or function | 0x80 and the exception code), or an empty vector
// when nothing is to be sent (the client went away).
std::vector<uint8_t> Dispatch(int unit, const uint8_t* pdu, size_t length, const UnitDirectory& units,
                              RegisterService& service);

// Protocol limits on a request's count.
constexpr int kMaxReadBits = 2000;
constexpr int kMaxReadRegisters = 125;
constexpr int kMaxWriteBits = 1968;
constexpr int kMaxWriteRegisters = 123;

}  // namespace qvgateway
