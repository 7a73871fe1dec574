// The Modbus request dispatch as a table: each request PDU, against a
// station with known ranges and a fake line, gives exactly this response
// or this exception, and reaches the line only when it should.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/qvgateway/modbus/modbus_dispatch.h"

namespace qvgateway {
namespace {

// D registers hold 1000 + n; M group g holds g * 3 (mod 256). Records
// what reached it.
class FakeLine : public RegisterService {
 public:
  uint8_t failWith = kOk;
  std::vector<std::string> calls;

  uint8_t Read(const StationRules&, Area area, int first, int count, uint16_t* values) override {
    calls.push_back(std::string(area == Area::D ? "read D" : "read M") + std::to_string(first) + "x" +
                    std::to_string(count));
    for (int i = 0; i < count; ++i) values[i] = static_cast<uint16_t>(area == Area::D ? 1000 + first + i : ((first + i) * 3) & 0xFF);
    return failWith;
  }
  uint8_t WriteRegisters(const StationRules&, int first, const std::vector<uint16_t>& values) override {
    std::string call = "write D" + std::to_string(first);
    for (auto v : values) call += " " + std::to_string(v);
    calls.push_back(call);
    return failWith;
  }
  uint8_t WriteCoils(const StationRules&, int first, const std::vector<bool>& bits) override {
    std::string call = "coils " + std::to_string(first) + " ";
    for (bool b : bits) call += b ? "1" : "0";
    calls.push_back(call);
    return failWith;
  }
  void Status(const StationRules&, uint16_t registers[kStatusRegisterCount]) override {
    for (int i = 0; i < kStatusRegisterCount; ++i) registers[i] = static_cast<uint16_t>(100 + i);
  }
};

StationRules Station() {
  StationRules s;
  s.unit = 1;
  for (int r = 100; r <= 131; ++r) s.readable.Set(Area::D, r);
  for (int r = 100; r <= 109; ++r) s.writable.Set(Area::D, r);
  for (int g = 0; g <= 3; ++g) s.readable.Set(Area::M, g);
  s.writable.Set(Area::M, 1);
  return s;
}

using Bytes = std::vector<uint8_t>;

struct Row {
  const char* name;
  int unit;
  Bytes request;
  uint8_t lineFails;
  Bytes response;
  const char* lineCall;  // what reached the line, "" for nothing
};

const Row kRows[] = {
    {"read D100 x2", 1, {3, 0, 100, 0, 2}, kOk, {3, 4, 0x04, 0x4C, 0x04, 0x4D}, "read D100x2"},
    {"input registers are the D registers", 1, {4, 0, 131, 0, 1}, kOk, {4, 2, 0x04, 0x6B}, "read D131x1"},
    {"status registers", 1, {4, 0x23, 0x28, 0, 2}, kOk, {4, 4, 0, 100, 0, 101}, ""},
    {"last status register", 1, {4, 0x23, 0x37, 0, 1}, kOk, {4, 2, 0, 115}, ""},
    {"past the status registers", 1, {4, 0x23, 0x37, 0, 2}, kOk, {0x84, 2}, ""},
    {"status is not a holding register", 1, {3, 0x23, 0x28, 0, 1}, kOk, {0x83, 2}, ""},
    {"outside read", 1, {3, 0, 99, 0, 2}, kOk, {0x83, 2}, ""},
    {"past D8199", 1, {3, 0x20, 0x07, 0, 2}, kOk, {0x83, 2}, ""},
    {"count 0", 1, {3, 0, 100, 0, 0}, kOk, {0x83, 3}, ""},
    {"count 126", 1, {3, 0, 100, 0, 126}, kOk, {0x83, 3}, ""},
    {"short read request", 1, {3, 0, 100, 0}, kOk, {0x83, 3}, ""},
    {"unit not configured", 7, {3, 0, 100, 0, 1}, kOk, {0x83, 0x0A}, ""},
    {"unit checked before function", 7, {0x2B, 0x0E}, kOk, {0xAB, 0x0A}, ""},
    {"unknown function", 1, {0x2B, 0x0E, 1, 0}, kOk, {0xAB, 1}, ""},
    {"an exception code is no request", 1, {0x83, 2}, kOk, {}, ""},
    {"line time-out", 1, {3, 0, 100, 0, 1}, kTargetNoResponse, {0x83, 0x0B}, "read D100x1"},
    {"controller refused", 1, {3, 0, 100, 0, 1}, kDeviceFailure, {0x83, 0x04}, "read D100x1"},
    {"queue full", 1, {3, 0, 100, 0, 1}, kBusy, {0x83, 0x06}, "read D100x1"},
    {"client gone", 1, {3, 0, 100, 0, 1}, kNoReply, {}, "read D100x1"},
    {"coils 10..17", 1, {1, 0, 10, 0, 8}, kOk, {1, 1, 3}, "read M1x1"},
    {"coils 20..21 as discrete inputs", 1, {2, 0, 20, 0, 2}, kOk, {2, 1, 2}, "read M2x1"},
    {"coil 18 does not exist", 1, {1, 0, 18, 0, 1}, kOk, {0x81, 2}, ""},
    {"coils across a group", 1, {1, 0, 7, 0, 4}, kOk, {0x81, 2}, ""},
    {"coil outside read", 1, {1, 0, 40, 0, 1}, kOk, {0x81, 2}, ""},
    {"2001 coils", 1, {1, 0, 0, 0x07, 0xD1}, kOk, {0x81, 3}, ""},
    {"write D105", 1, {6, 0, 105, 0x12, 0x34}, kOk, {6, 0, 105, 0x12, 0x34}, "write D105 4660"},
    {"write outside write", 1, {6, 0, 110, 0, 1}, kOk, {0x86, 2}, ""},
    {"write not acknowledged", 1, {6, 0, 105, 0, 1}, kTargetNoResponse, {0x86, 0x0B}, "write D105 1"},
    {"write D108..D109", 1, {16, 0, 108, 0, 2, 4, 0, 1, 0, 2}, kOk, {16, 0, 108, 0, 2}, "write D108 1 2"},
    {"write past write", 1, {16, 0, 109, 0, 2, 4, 0, 1, 0, 2}, kOk, {0x90, 2}, ""},
    {"byte count wrong", 1, {16, 0, 108, 0, 2, 3, 0, 1, 0}, kOk, {0x90, 3}, ""},
    {"data missing", 1, {16, 0, 108, 0, 2, 4, 0, 1}, kOk, {0x90, 3}, ""},
    {"124 registers", 1, {16, 0, 100, 0, 124, 248}, kOk, {0x90, 3}, ""},
    {"partial write", 1, {16, 0, 100, 0, 1, 2, 0, 1}, kDeviceFailure, {0x90, 4}, "write D100 1"},
    {"coil 11 on", 1, {5, 0, 11, 0xFF, 0}, kOk, {5, 0, 11, 0xFF, 0}, "coils 11 1"},
    {"coil 11 off", 1, {5, 0, 11, 0, 0}, kOk, {5, 0, 11, 0, 0}, "coils 11 0"},
    {"coil value not 0 or FF00", 1, {5, 0, 11, 0, 1}, kOk, {0x85, 3}, ""},
    {"coil outside write", 1, {5, 0, 21, 0xFF, 0}, kOk, {0x85, 2}, ""},
    {"coils 10..13", 1, {15, 0, 10, 0, 4, 1, 0x05}, kOk, {15, 0, 10, 0, 4}, "coils 10 1010"},
    {"coils byte count wrong", 1, {15, 0, 10, 0, 4, 2, 0x05, 0}, kOk, {0x8F, 3}, ""},
    {"coils into 18", 1, {15, 0, 16, 0, 3, 1, 0}, kOk, {0x8F, 2}, ""},
};

TEST(GatewayDispatch, EveryRequestGetsItsResponse) {
  const StationRules station = Station();
  const UnitDirectory units = [&](int unit) { return unit == 1 ? &station : nullptr; };
  for (const Row& row : kRows) {
    FakeLine line;
    line.failWith = row.lineFails;
    const Bytes got = Dispatch(row.unit, row.request.data(), row.request.size(), units, line);
    EXPECT_EQ(got, row.response) << row.name;
    const std::string call = line.calls.empty() ? "" : line.calls.front();
    EXPECT_EQ(call, row.lineCall) << row.name;
    EXPECT_LE(line.calls.size(), 1u) << row.name;
  }
}

TEST(GatewayDispatch, EmptyPduIsNotAnswered) {
  const StationRules station = Station();
  FakeLine line;
  EXPECT_TRUE(Dispatch(1, nullptr, 0, [&](int) { return &station; }, line).empty());
}

}  // namespace
}  // namespace qvgateway
