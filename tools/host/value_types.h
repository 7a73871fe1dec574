// How a register's bits are shown and typed: unsigned, signed, hex, BCD,
// bits, or a 32-bit number from two consecutive D registers.
#pragma once

#include <stdint.h>

#include <string>

namespace qvhost {

enum class ValueType { U16, S16, Hex, Bcd, Bits, U32, S32, F32 };
enum class WordOrder { HighFirst, LowFirst };

bool ParseValueType(const std::string& text, ValueType* type);
const char* ValueTypeNames();  // "u16|s16|..."
// Registers one value takes: 2 for the 32-bit types.
int RegistersPerValue(ValueType type);

// One value as shown: text for the table and CSV, and whether it is a
// number (JSON writes it unquoted) or not valid for the type (not BCD).
struct ShownValue {
  std::string text;
  bool number = true;
  bool valid = true;
  std::string why;  // when not valid: "a digit above 9: not BCD"
};

// `raw`: the register (16 bits), the M group (8 bits, `byteWide`), or the
// 32-bit value already put together in its word order.
ShownValue Show(ValueType type, uint32_t raw, bool byteWide);

// A typed value to the raw bits that go to the controller; false with
// what is wrong in `problem` (e.g. "is outside -32768..32767").
// `note`, when given, says how a value that cannot be held exactly was
// rounded ("16777217 is written as 16777216": f32).
bool ParseValue(ValueType type, const std::string& text, bool byteWide, uint32_t* raw, std::string* problem,
                std::string* note = nullptr);

// The widest text Show gives for a type: the table's value column.
int ShownWidth(ValueType type, bool byteWide);

// A raw value as a number, for scaling: the type's reading of `raw` (as
// Show gives it). False with why when the bits are no number of the type
// (not BCD, a NaN or infinite f32); Hex and Bits read as unsigned.
bool RawToNumber(ValueType type, uint32_t raw, bool byteWide, double* number, std::string* why);
// A number to the raw bits of the type: it must be whole (except for f32)
// and in the type's range. False with why.
bool NumberToRaw(ValueType type, double number, bool byteWide, uint32_t* raw, std::string* why);

// The two registers of a 32-bit value, in address order, and back.
void SplitWords(uint32_t value, WordOrder order, uint16_t* first, uint16_t* second);
uint32_t JoinWords(uint16_t first, uint16_t second, WordOrder order);

}  // namespace qvhost
