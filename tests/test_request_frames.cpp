// Request frames and the codec, byte for byte.
#include <string>

#include "link/frame_codec.h"
#include "link/request_frame.h"
#include "tests/support/driver_handle.h"
#include "tests/support/fake_line.h"

namespace qvtest {
namespace {

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

struct FrameCase {
  const char* name;
  int station, typeIndex, dataType, start, end, operation;
  uint8_t low, high;  // first item's value bytes 8 and 9
  const char* frame;  // hex bytes on the line
};

void PrintTo(const FrameCase& c, std::ostream* os) { *os << c.name; }

const FrameCase kFrames[] = {
    {"read D100..D103", 1, 0, 8, 100, 103, 0, 0, 0, "05 30 31 30 52 44 30 31 30 30 30 38 32 42 0D"},
    {"write 0x1234 to D100", 1, 0, 8, 100, 100, 1, 0x34, 0x12,
     "05 30 31 30 57 44 30 31 30 30 30 32 31 32 33 34 32 30 0D"},
    {"read M0010..M0030", 1, 1, 2, 10, 30, 0, 0, 0, "05 30 31 30 52 4D 30 30 31 30 30 33 32 39 0D"},
    {"write 0x3C to M0010", 1, 1, 2, 10, 10, 1, 0x3C, 0, "05 30 31 30 57 4D 30 30 31 30 30 31 33 43 35 45 0D"},
    {"D0..D31 at station 31", 31, 0, 8, 0, 31, 0, 0, 0, "05 31 46 30 52 44 30 30 30 30 34 30 35 30 0D"},
    {"D100..D103 of data type 4", 1, 0, 4, 100, 103, 0, 0, 0, "05 30 31 30 52 44 30 31 30 30 30 34 32 37 0D"},
    // A "D" register is 16 bits on the line whatever the host's type code.
    {"write D100 of data type 4", 1, 0, 4, 100, 100, 1, 0x34, 0x12,
     "05 30 31 30 57 44 30 31 30 30 30 32 31 32 33 34 32 30 0D"},
    // Any operation other than 0 writes.
    {"operation 7 writes", 1, 1, 2, 10, 10, 7, 0x3C, 0, "05 30 31 30 57 4D 30 30 31 30 30 31 33 43 35 45 0D"},
};

class FrameTable : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameTable, ExactBytesThroughExecuteBlock) {
  const FrameCase& c = GetParam();
  FakeLine line;
  DriverHandle driver;
  HostBlock block(c.station, c.typeIndex, c.dataType, c.start, c.end, c.operation, {c.start});
  block.items[0].Put8(item::kValue, c.low);
  block.items[0].Put8(item::kValue + 1, c.high);
  driver.SetPortHandle(5);
  driver.ExecuteBlock(block);  // no reply: only the request matters here
  ASSERT_EQ(line.port.writes.size(), 1u);
  EXPECT_EQ(Hex(line.port.writes[0]), c.frame) << c.name;
  EXPECT_EQ(line.port.writes[0].find('\0'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(WorkedExamples, FrameTable, ::testing::ValuesIn(kFrames),
                         [](const auto& info) { return CaseName(info.index, info.param.name); });

std::string Frame(const quorvalend::RequestShape& shape) {
  uint8_t buffer[24];
  memset(buffer, 0x77, sizeof buffer);
  const int32_t length = quorvalend::FormatRequest(shape, buffer);
  if (length > 0) {
    EXPECT_EQ(buffer[length], 0) << "frame followed by a zero byte";
  }
  return std::string(reinterpret_cast<char*>(buffer), static_cast<size_t>(length > 0 ? length : 0));
}

quorvalend::RequestShape Read(uint8_t station, int16_t type, int32_t start, int32_t end) {
  quorvalend::RequestShape s{};
  s.station = station;
  s.typeIndex = type;
  s.dataType = type == 0 ? 8 : 2;
  s.start = start;
  s.end = end;
  return s;
}

TEST(RequestFrame, StationGoesOutInHexadecimal) {
  EXPECT_EQ(Frame(Read(31, 0, 5, 5)).substr(1, 2), "1F");
  EXPECT_EQ(Frame(Read(255, 0, 5, 5)).substr(1, 2), "FF");
  EXPECT_EQ(Frame(Read(0, 0, 5, 5)).substr(1, 2), "00");
}

TEST(RequestFrame, AddressIsFourDecimalDigitsModuloTenThousand) {
  EXPECT_EQ(Frame(Read(1, 0, 5, 5)).substr(6, 4), "0005");
  EXPECT_EQ(Frame(Read(1, 0, 12345, 12345)).substr(6, 4), "2345");
  EXPECT_EQ(Frame(Read(1, 1, 0, 30)).substr(6, 6), "000004");
}

TEST(RequestFrame, CountsWrapModulo256) {
  EXPECT_EQ(Frame(Read(1, 0, 0, 127)).substr(10, 2), "00");  // 2 x 128
  EXPECT_EQ(Frame(Read(1, 0, 0, 128)).substr(10, 2), "02");
}

TEST(RequestFrame, NothingToSendForAWriteWithoutItemOrAnUnknownArea) {
  quorvalend::RequestShape write = Read(1, 0, 100, 100);
  write.operation = 1;
  write.hasItem = false;
  EXPECT_EQ(Frame(write), "");
  EXPECT_EQ(Frame(Read(1, 2, 100, 100)), "");
  EXPECT_EQ(Frame(Read(1, -1, 100, 100)), "");
  // A read needs no item data.
  EXPECT_EQ(Frame(Read(1, 0, 100, 103)).size(), 15u);
}

TEST(RequestFrame, AWriteBlockSendsOnlyItsFirstItemAtTheBlockStart) {
  FakeLine line;
  DriverHandle driver;
  HostBlock block(1, 0, 8, 100, 100, 1, {100, 100});
  block.items[0].Put16(item::kRegister, 555);  // the item's own address is not sent
  block.items[0].Put8(item::kValue, 0x34);
  block.items[0].Put8(item::kValue + 1, 0x12);
  block.items[1].Put8(item::kValue, 0x99);
  driver.SetPortHandle(5);
  driver.ExecuteBlock(block);
  ASSERT_EQ(line.port.writes.size(), 1u);
  EXPECT_EQ(line.port.writes[0].substr(1, 15), "010WD0100021234");
}

TEST(RequestFrame, EmptyWriteBlockOrUnknownAreaFailsWithoutSendingOrAnError) {
  FakeLine line;
  DriverHandle driver;
  driver.SetPortHandle(5);
  HostBlock write(1, 0, 8, 100, 100, 1, {});
  EXPECT_EQ(driver.ExecuteBlock(write), 0);
  HostBlock unknown(1, 3, 8, 100, 100, 0, {100});
  EXPECT_EQ(driver.ExecuteBlock(unknown), 0);
  EXPECT_TRUE(line.port.writes.empty());
  EXPECT_EQ(driver.LastError(), -1);
}

TEST(FrameCodec, ByteToHexIsUppercaseAndNullSafe) {
  uint8_t out[2] = {'x', 'x'};
  quorvalend::ByteToHex(out, 0xAB);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 2), "AB");
  quorvalend::ByteToHex(out, 0x0F);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 2), "0F");
  quorvalend::ByteToHex(nullptr, 0x12);
  for (int v = 0; v < 256; ++v) {
    quorvalend::ByteToHex(out, static_cast<uint8_t>(v));
    EXPECT_EQ(quorvalend::HexToByte(out), v) << "round trip of " << v;
  }
}

TEST(FrameCodec, HexToByteTable) {
  struct {
    const char* digits;
    int value;
  } cases[] = {
      {"FF", 0xFF}, {"00", 0x00}, {"A0", 0xA0}, {"a0", 0xA0}, {"0a", 0x0A}, {"ff", 0xFF},
      {"fF", 0xFF}, {"Ff", 0xFF}, {"9f", 0x9F}, {"\0\0", 0x59}, {"G0", 0x00}, {"0G", 0x10},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(quorvalend::HexToByte(reinterpret_cast<const uint8_t*>(c.digits)), c.value) << c.digits;
  }
  EXPECT_EQ(quorvalend::HexToByte(nullptr), 0);
}

TEST(FrameCodec, FourDigitDecimalAndBlockCheck) {
  uint8_t out[4];
  struct {
    int32_t value;
    const char* text;
  } cases[] = {{5, "0005"}, {8199, "8199"}, {12345, "2345"}, {65543, "0007"}, {-1, "5535"}};
  for (const auto& c : cases) {
    quorvalend::FourDigitDecimal(out, c.value);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 4), c.text) << c.value;
  }
  quorvalend::FourDigitDecimal(nullptr, 1);
  const uint8_t one[] = {0x42};
  EXPECT_EQ(quorvalend::BlockCheck(one, 1), 0x42);
  EXPECT_EQ(quorvalend::BlockCheck(nullptr, 5), 0);
  const uint8_t body[] = {0x05, '0', '1', '0', 'R', 'D', '0', '1', '0', '0', '0', '8'};
  EXPECT_EQ(quorvalend::BlockCheck(body, 12), 0x2B);
}

}  // namespace
}  // namespace qvtest
