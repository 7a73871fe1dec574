// Register table, address text parsing and station numbers, as a host
// configuring its tags sees them.
#include <string>

#include "tests/support/driver_handle.h"

namespace qvtest {
namespace {

constexpr int kUnchanged = -2;  // lastError must keep what it held
constexpr int kSeedError = 3;   // an earlier failure the success must not clear

enum class After { Parsed, Untouched, AddressZeroed, TypeRefused };

struct ParseCase {
  std::string text;
  int dataType;
  int result;
  int lastError;
  After after;
  int registerAddress;
  int typeIndex;
};

// GoogleTest names a case by its text; without a printer it would dump the
// record's bytes, padding included.
void PrintTo(const ParseCase& c, std::ostream* os) { *os << ::testing::PrintToString(std::string(c.text)); }

std::string Blanks(int n) { return std::string(static_cast<size_t>(n), ' '); }

const ParseCase kParseCases[] = {
    {"D100", 8, 0, kUnchanged, After::Parsed, 100, 0},
    {" D100 ", 8, 0, kUnchanged, After::Parsed, 100, 0},
    {Blanks(32) + "D100   ", 8, 0, kUnchanged, After::Parsed, 100, 0},
    {Blanks(33) + "D100", 8, 1, 0, After::Untouched, 0, 0},
    {"\tD100", 8, 1, 0, After::Untouched, 0, 0},
    {"D0", 8, 0, kUnchanged, After::Parsed, 0, 0},
    {"D8199", 8, 0, kUnchanged, After::Parsed, 8199, 0},
    {"D8200", 8, 1, 20, After::AddressZeroed, 0, 0},
    {"D00100", 8, 0, kUnchanged, After::Parsed, 100, 0},
    {"D000000100", 8, 0, kUnchanged, After::Parsed, 100, 0},
    {"M0010", 2, 0, kUnchanged, After::Parsed, 10, 1},
    {"M10", 2, 0, kUnchanged, After::Parsed, 10, 1},
    {"M0", 2, 0, kUnchanged, After::Parsed, 0, 1},
    {"M8150", 2, 0, kUnchanged, After::Parsed, 8150, 1},
    {"M0013", 2, 1, 20, After::AddressZeroed, 0, 0},
    {"M8157", 2, 1, 20, After::AddressZeroed, 0, 0},
    {"M8160", 2, 1, 20, After::AddressZeroed, 0, 0},
    {"X5", 8, 1, 0, After::Untouched, 0, 0},
    {"d100", 8, 1, 0, After::Untouched, 0, 0},
    {"", 8, 1, 0, After::Untouched, 0, 0},
    {"     ", 8, 1, 0, After::Untouched, 0, 0},
    {"D", 8, 1, 20, After::AddressZeroed, 0, 0},
    {"M", 2, 1, 20, After::AddressZeroed, 0, 0},
    {"D1A", 8, 1, 0, After::AddressZeroed, 0, 0},
    {"D 100", 8, 1, 0, After::AddressZeroed, 0, 0},
    {"D-5", 8, 1, 0, After::AddressZeroed, 0, 0},
    {"D+5", 8, 1, 0, After::AddressZeroed, 0, 0},
    {"D1.5", 8, 1, 0, After::AddressZeroed, 0, 0},
    {"DM100", 8, 1, 0, After::AddressZeroed, 0, 0},
    {"D100", 2, 1, 21, After::TypeRefused, 100, 0},
    {"M0010", 8, 1, 21, After::TypeRefused, 10, 1},
    {"M0013", 8, 1, 20, After::AddressZeroed, 0, 0},
    {"D9000", 2, 1, 20, After::AddressZeroed, 0, 0},
    {"D100", 10, 0, kUnchanged, After::Parsed, 100, 0},
    // A digits part longer than the nine-character number field is refused
    // without reaching past it.
    {"D0000000100", 8, 1, 20, After::AddressZeroed, 0, 0},
    {"D" + std::string(120, '9'), 8, 1, 20, After::AddressZeroed, 0, 0},
    {"D99999999999X", 8, 1, 0, After::AddressZeroed, 0, 0},
    // A byte above 0x7F in the number is no digit.
    {"D1\xB0", 8, 1, 0, After::AddressZeroed, 0, 0},
};

class ParseTagTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTagTable, ResultErrorAndFieldsWritten) {
  const ParseCase& c = GetParam();
  DriverHandle driver;

  // Seed lastError with an earlier failure (station 99 is refused: 18).
  int32_t station = -7;
  ASSERT_EQ(driver.CheckDeviceAddress("99", &station), 0);
  const int seeded = driver.LastError();
  ASSERT_EQ(seeded, 18);

  TagDefinitionRec def = MakeTagDefinition(c.text.c_str(), static_cast<int16_t>(c.dataType));
  TagAddressRec address;  // filled with a pattern
  const TagAddressRec before = address;

  EXPECT_EQ(driver.ParseTag(def, address), c.result);
  EXPECT_EQ(driver.LastError(), c.lastError == kUnchanged ? seeded : c.lastError);

  const RegisterTypeEntry* table = nullptr;
  int32_t rows = 0;
  CallSlot<int32_t>(driver.Driver(), slot::kGetRegisterTable, 0, &table, &rows);

  switch (c.after) {
    case After::Untouched:
      EXPECT_EQ(memcmp(address.bytes, before.bytes, sizeof address.bytes), 0);
      break;
    case After::AddressZeroed: {
      EXPECT_EQ(address.Get16(tag_address::kRegister), 0);
      TagAddressRec expected = before;
      expected.Put16(tag_address::kRegister, 0);
      EXPECT_EQ(memcmp(address.bytes, expected.bytes, sizeof address.bytes), 0);
      break;
    }
    case After::TypeRefused:
    case After::Parsed: {
      TagAddressRec expected = before;
      expected.Put16(tag_address::kRegister, c.registerAddress);
      expected.Put16(tag_address::kTypeIndex, c.typeIndex);
      expected.PutPtr(tag_address::kRow, &table[c.typeIndex]);
      if (c.after == After::Parsed) {
        expected.Put16(tag_address::kDataType, c.dataType);
        expected.Put16(tag_address::kDataType2, c.dataType);
      }
      EXPECT_EQ(memcmp(address.bytes, expected.bytes, sizeof address.bytes), 0)
          << "register " << address.Get16(tag_address::kRegister) << " type index "
          << address.Get16(tag_address::kTypeIndex) << " data types " << address.Get16(tag_address::kDataType)
          << "/" << address.Get16(tag_address::kDataType2);
      break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AddressTexts, ParseTagTable, ::testing::ValuesIn(kParseCases),
                         [](const auto& info) { return CaseName(info.index, info.param.text); });

TEST(ParseTag, EveryGroupOfTenParsesAndNothingOutsideTheAreas) {
  DriverHandle driver;
  for (int n = 0; n <= 8200; ++n) {
    TagAddressRec address;
    TagDefinitionRec d = MakeTagDefinition(("D" + std::to_string(n)).c_str(), 8);
    ASSERT_EQ(driver.ParseTag(d, address), n <= 8199 ? 0 : 1) << n;
    TagDefinitionRec m = MakeTagDefinition(("M" + std::to_string(n)).c_str(), 2);
    ASSERT_EQ(driver.ParseTag(m, address), (n % 10 == 0 && n <= 8150) ? 0 : 1) << n;
  }
}

TEST(ParseTag, AnUnterminatedFullFieldIsReadNoFurtherThanTheField) {
  DriverHandle driver;
  TagDefinitionRec def;
  memset(def.bytes + tag_definition::kAddressText, ' ', 128);
  def.bytes[tag_definition::kAddressText + 10] = 'D';
  def.bytes[tag_definition::kAddressText + 11] = '7';
  def.Put16(tag_definition::kDataType, 8);  // the data type follows the text directly
  TagAddressRec address;
  EXPECT_EQ(driver.ParseTag(def, address), 0);
  EXPECT_EQ(address.Get16(tag_address::kRegister), 7);
}

TEST(ParseTag, SuccessKeepsTheFirstFailureMessage) {
  DriverHandle driver;
  TagAddressRec address;
  TagDefinitionRec bad = MakeTagDefinition("X1", 8);
  TagDefinitionRec good = MakeTagDefinition("D1", 8);
  ASSERT_EQ(driver.ParseTag(bad, address), 1);
  const char* first = driver.ErrorText();
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(driver.ParseTag(good, address), 0);
  EXPECT_EQ(driver.ErrorText(), first);
  EXPECT_EQ(driver.LastError(), 0);
}

TEST(ParseTag, TheDeviceAddressIsTheHostsToFill) {
  DriverHandle driver;
  TagAddressRec address;
  address.Put16(tag_address::kDevice, 0x1234);
  TagDefinitionRec def = MakeTagDefinition("D5", 8);
  ASSERT_EQ(driver.ParseTag(def, address), 0);
  EXPECT_EQ(address.Get16(tag_address::kDevice), 0x1234);
}

struct StationCase {
  const char* text;
  int result;
  int value;  // meaningful when result is 1
};

const StationCase kStationCases[] = {
    {"0", 1, 0},      {"31", 1, 31},     {"00031", 1, 31},  {"32", 0, 0},      {"254", 0, 0},
    {"255", 1, 255},  {"256", 0, 0},     {" 7", 1, 7},      {"\t12", 1, 12},   {"+7", 1, 7},
    {"7x", 1, 7},     {"abc", 1, 0},     {"", 1, 0},        {"-1", 0, 0},      {"65536", 1, 0},
    {"65567", 1, 31}, {"65791", 1, 255}, {"\n\v\f\r 9", 1, 9}, {"- 5", 1, 0}, {"4294967327", 1, 31},
};

void PrintTo(const StationCase& c, std::ostream* os) { *os << ::testing::PrintToString(std::string(c.text)); }

class StationTable : public ::testing::TestWithParam<StationCase> {};

TEST_P(StationTable, ValidStationsAndTheReduction) {
  const StationCase& c = GetParam();
  DriverHandle driver;
  int32_t station = -77;
  EXPECT_EQ(driver.CheckDeviceAddress(c.text, &station), c.result);
  if (c.result == 1) {
    EXPECT_EQ(station, c.value);
    EXPECT_EQ(driver.LastError(), -1);
  } else {
    EXPECT_EQ(station, -77);
    EXPECT_EQ(driver.LastError(), 18);
  }
}

INSTANTIATE_TEST_SUITE_P(StationTexts, StationTable, ::testing::ValuesIn(kStationCases),
                         [](const auto& info) { return CaseName(info.index, info.param.text); });

TEST(RegisterTable, TwoRowsWithTheirLimitsOnEveryCall) {
  DriverHandle driver;
  for (int call = 0; call < 2; ++call) {
    const uint8_t* table = nullptr;
    int32_t rows = 0;
    ASSERT_EQ(CallSlot<int32_t>(driver.Driver(), slot::kGetRegisterTable, 0, &table, &rows), 1);
    ASSERT_EQ(rows, 2);
    ASSERT_NE(table, nullptr);
    HostRecord<48> bytes;
    memcpy(bytes.bytes, table, 48);
    EXPECT_STREQ(reinterpret_cast<const char*>(bytes.bytes), "D");
    EXPECT_EQ(bytes.Get32(8), 0);
    EXPECT_EQ(bytes.Get32(12), 8199);
    EXPECT_EQ(bytes.GetU32(16), 8u);
    EXPECT_EQ(bytes.GetU32(20), 0u);
    EXPECT_STREQ(reinterpret_cast<const char*>(bytes.bytes + 24), "M");
    EXPECT_EQ(bytes.Get32(24 + 8), 0);
    EXPECT_EQ(bytes.Get32(24 + 12), 8157);
    EXPECT_EQ(bytes.GetU32(24 + 16), 2u);
    EXPECT_EQ(bytes.GetU32(24 + 20), 0u);
  }
}

}  // namespace
}  // namespace qvtest
