#include "tools/qvgateway/modbus/modbus_dispatch.h"

namespace qvgateway {
namespace {

int Word(const uint8_t* p) { return p[0] << 8 | p[1]; }

void PutWord(std::vector<uint8_t>* out, int value) {
  out->push_back(static_cast<uint8_t>(value >> 8));
  out->push_back(static_cast<uint8_t>(value));
}

std::vector<uint8_t> Refusal(uint8_t function, uint8_t code) {
  if (code == kNoReply) return {};
  return {static_cast<uint8_t>(function | 0x80), code};
}

// Coil n is bit n mod 10 of group n / 10; bits 8 and 9 of a group do not
// exist, since a group is one byte.
bool CoilExists(int coil) { return coil % 10 < 8 && coil / 10 < kMGroups; }

// Every coil of the request exists and lies in `set`.
bool CoilsIn(const RegisterSet& set, int first, int count) {
  for (int c = first; c < first + count; ++c) {
    if (!CoilExists(c) || !set.Has(Area::M, c / 10)) return false;
  }
  return true;
}

bool RegistersIn(const RegisterSet& set, int first, int count) {
  if (first + count > kDRegisters) return false;
  for (int r = first; r < first + count; ++r) {
    if (!set.Has(Area::D, r)) return false;
  }
  return true;
}

std::vector<uint8_t> ReadBits(uint8_t function, const StationRules& station, int first, int count,
                              RegisterService& service) {
  if (count < 1 || count > kMaxReadBits) return Refusal(function, kIllegalValue);
  if (!CoilsIn(station.readable, first, count)) return Refusal(function, kIllegalAddress);
  const int firstGroup = first / 10, groups = (first + count - 1) / 10 - firstGroup + 1;
  std::vector<uint16_t> bytes(static_cast<size_t>(groups));
  const uint8_t code = service.Read(station, Area::M, firstGroup, groups, bytes.data());
  if (code != kOk) return Refusal(function, code);
  std::vector<uint8_t> out{function, static_cast<uint8_t>((count + 7) / 8)};
  out.resize(2 + out[1]);
  for (int i = 0; i < count; ++i) {
    const int coil = first + i;
    if (bytes[static_cast<size_t>(coil / 10 - firstGroup)] >> (coil % 10) & 1) out[2 + i / 8] |= 1 << (i % 8);
  }
  return out;
}

std::vector<uint8_t> ReadRegisters(uint8_t function, const StationRules& station, int first, int count,
                                   RegisterService& service) {
  if (count < 1 || count > kMaxReadRegisters) return Refusal(function, kIllegalValue);
  std::vector<uint16_t> values(static_cast<size_t>(count));
  if (function == 4 && first >= kStatusRegisterFirst) {
    if (first + count > kStatusRegisterFirst + kStatusRegisterCount) return Refusal(function, kIllegalAddress);
    uint16_t status[kStatusRegisterCount] = {};
    service.Status(station, status);
    for (int i = 0; i < count; ++i) values[static_cast<size_t>(i)] = status[first - kStatusRegisterFirst + i];
  } else {
    if (!RegistersIn(station.readable, first, count)) return Refusal(function, kIllegalAddress);
    const uint8_t code = service.Read(station, Area::D, first, count, values.data());
    if (code != kOk) return Refusal(function, code);
  }
  std::vector<uint8_t> out{function, static_cast<uint8_t>(2 * count)};
  for (uint16_t v : values) PutWord(&out, v);
  return out;
}

std::vector<uint8_t> Echo(const uint8_t* pdu) { return std::vector<uint8_t>(pdu, pdu + 5); }

}  // namespace

uint8_t ToModbusException(const LineResult& result) {
  if (result.ok()) return kOk;
  if (result.partial) return kDeviceFailure;
  switch (result.reason) {
    case LineReason::Refused:
      return kDeviceFailure;
    case LineReason::QueueFull:
    case LineReason::Deadline:
      return kBusy;
    case LineReason::ClientGone:
      return kNoReply;
    case LineReason::None:
    case LineReason::Silent:
    case LineReason::Demoted:
    case LineReason::PortLost:
    case LineReason::Stopping:
      break;
  }
  return kTargetNoResponse;
}

std::vector<uint8_t> Dispatch(int unit, const uint8_t* pdu, size_t length, const UnitDirectory& units,
                              RegisterService& service) {
  if (length < 1) return {};
  const uint8_t function = pdu[0];
  // An exception's function code is never a request: such a client is
  // confused, and is closed rather than answered.
  if (function & 0x80) return {};
  const StationRules* station = units(unit);
  if (station == nullptr) return Refusal(function, kPathUnavailable);
  const uint8_t* data = pdu + 1;
  const size_t size = length - 1;
  switch (function) {
    case 1:
    case 2:
    case 3:
    case 4: {
      if (size != 4) return Refusal(function, kIllegalValue);
      const int first = Word(data), count = Word(data + 2);
      return function <= 2 ? ReadBits(function, *station, first, count, service)
                           : ReadRegisters(function, *station, first, count, service);
    }
    case 5: {
      if (size != 4) return Refusal(function, kIllegalValue);
      const int coil = Word(data), value = Word(data + 2);
      if (value != 0xFF00 && value != 0x0000) return Refusal(function, kIllegalValue);
      if (!CoilsIn(station->writable, coil, 1)) return Refusal(function, kIllegalAddress);
      const uint8_t code = service.WriteCoils(*station, coil, {value == 0xFF00});
      return code == kOk ? Echo(pdu) : Refusal(function, code);
    }
    case 6: {
      if (size != 4) return Refusal(function, kIllegalValue);
      const int address = Word(data);
      if (!RegistersIn(station->writable, address, 1)) return Refusal(function, kIllegalAddress);
      const uint8_t code = service.WriteRegisters(*station, address, {static_cast<uint16_t>(Word(data + 2))});
      return code == kOk ? Echo(pdu) : Refusal(function, code);
    }
    case 15: {
      if (size < 5) return Refusal(function, kIllegalValue);
      const int first = Word(data), count = Word(data + 2), bytes = data[4];
      if (count < 1 || count > kMaxWriteBits || bytes != (count + 7) / 8 || size != 5u + bytes) {
        return Refusal(function, kIllegalValue);
      }
      if (!CoilsIn(station->writable, first, count)) return Refusal(function, kIllegalAddress);
      std::vector<bool> bits(static_cast<size_t>(count));
      for (int i = 0; i < count; ++i) bits[static_cast<size_t>(i)] = data[5 + i / 8] >> (i % 8) & 1;
      const uint8_t code = service.WriteCoils(*station, first, bits);
      return code == kOk ? Echo(pdu) : Refusal(function, code);
    }
    case 16: {
      if (size < 5) return Refusal(function, kIllegalValue);
      const int first = Word(data), count = Word(data + 2), bytes = data[4];
      if (count < 1 || count > kMaxWriteRegisters || bytes != 2 * count || size != 5u + bytes) {
        return Refusal(function, kIllegalValue);
      }
      if (!RegistersIn(station->writable, first, count)) return Refusal(function, kIllegalAddress);
      std::vector<uint16_t> values(static_cast<size_t>(count));
      for (int i = 0; i < count; ++i) values[static_cast<size_t>(i)] = static_cast<uint16_t>(Word(data + 5 + 2 * i));
      const uint8_t code = service.WriteRegisters(*station, first, values);
      return code == kOk ? Echo(pdu) : Refusal(function, code);
    }
    default:
      return Refusal(function, kIllegalFunction);
  }
}

}  // namespace qvgateway
