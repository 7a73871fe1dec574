// The gateway's Modbus request dispatch over any request PDU and any unit,
// on a fake line whose outcomes the input also chooses. Every answer is a
// well-formed response to the request's function or one of the
// gateway's exceptions; nothing outside the station's ranges reaches the
// line; a write reaches it only inside the write ranges.
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "tools/qvgateway/modbus/modbus_dispatch.h"

#include "tests/fuzz/fuzz_check.h"

namespace {

using namespace qvgateway;

const uint8_t kOutcomes[] = {kOk, kOk, kOk, kDeviceFailure, kBusy, kTargetNoResponse, kNoReply};

class FuzzLine : public RegisterService {
 public:
  explicit FuzzLine(uint8_t choice) : choice_(choice) {}
  bool sawNoReply = false;

  uint8_t Read(const StationRules& s, Area area, int first, int count, uint16_t* values) override {
    for (int i = 0; i < count; ++i) {
      FUZZ_CHECK(s.readable.Has(area, first + i));
      values[i] = static_cast<uint16_t>(first * 31 + i);
    }
    return Outcome();
  }
  uint8_t WriteRegisters(const StationRules& s, int first, const std::vector<uint16_t>& values) override {
    FUZZ_CHECK(!values.empty() && values.size() <= kMaxWriteRegisters);
    for (size_t i = 0; i < values.size(); ++i) FUZZ_CHECK(s.writable.Has(Area::D, first + static_cast<int>(i)));
    return Outcome();
  }
  uint8_t WriteCoils(const StationRules& s, int first, const std::vector<bool>& bits) override {
    FUZZ_CHECK(!bits.empty() && bits.size() <= kMaxWriteBits);
    for (size_t i = 0; i < bits.size(); ++i) {
      const int coil = first + static_cast<int>(i);
      FUZZ_CHECK(coil % 10 < 8 && s.writable.Has(Area::M, coil / 10));
    }
    return Outcome();
  }
  void Status(const StationRules&, uint16_t registers[kStatusRegisterCount]) override {
    for (int i = 0; i < kStatusRegisterCount; ++i) registers[i] = static_cast<uint16_t>(i);
  }

 private:
  uint8_t Outcome() {
    const uint8_t code = kOutcomes[choice_ % sizeof kOutcomes];
    sawNoReply = sawNoReply || code == kNoReply;
    return code;
  }
  uint8_t choice_;
};

StationRules MakeStation() {
  StationRules s;
  s.unit = 1;
  for (int r = 100; r <= 131; ++r) s.readable.Set(Area::D, r);
  for (int r = 8190; r <= 8199; ++r) s.readable.Set(Area::D, r);
  for (int r = 100; r <= 109; ++r) s.writable.Set(Area::D, r);
  for (int g = 0; g <= 3; ++g) s.readable.Set(Area::M, g);
  for (int g = 812; g <= 815; ++g) s.readable.Set(Area::M, g);
  s.writable.Set(Area::M, 1);
  s.writable.Set(Area::M, 815);
  return s;
}

bool IsGatewayException(uint8_t code) {
  for (uint8_t c : {kIllegalFunction, kIllegalAddress, kIllegalValue, kDeviceFailure, kBusy, kPathUnavailable,
                    kTargetNoResponse}) {
    if (code == c) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const StationRules station = MakeStation();
  if (size < 2) return 0;
  const int unit = data[0];
  FuzzLine line(data[1]);
  const uint8_t* pdu = data + 2;
  const size_t length = size - 2;
  const auto response = Dispatch(unit, pdu, length, [](int u) { return u == 1 ? &station : nullptr; }, line);
  if (response.empty()) {
    FUZZ_CHECK(length == 0 || (pdu[0] & 0x80) || line.sawNoReply);
    return 0;
  }
  const uint8_t function = pdu[0];
  FUZZ_CHECK(response.size() <= 253);
  if (response[0] == (function | 0x80)) {
    FUZZ_CHECK(response.size() == 2 && IsGatewayException(response[1]));
    if (unit != 1) FUZZ_CHECK(response[1] == kPathUnavailable);
    return 0;
  }
  FUZZ_CHECK(unit == 1 && response[0] == function);
  switch (function) {
    case 1:
    case 2:
    case 3:
    case 4:
      FUZZ_CHECK(response.size() >= 3 && response[1] == response.size() - 2);
      break;
    case 5:
    case 6:
    case 15:
    case 16:
      FUZZ_CHECK(response.size() == 5 && std::equal(response.begin(), response.end(), pdu));
      break;
    default:
      FUZZ_CHECK(false);
  }
  return 0;
}
