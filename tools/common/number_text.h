// Numbers as a person types them on a command line: decimal, or hex with
// 0x. A leading zero is still decimal ("0100" is one hundred): a tool that
// writes to a controller must never read a typed value as octal.
#pragma once

#include <stdint.h>

#include <string>

namespace qvtools {

// True when `text` is wholly a decimal or 0x-hex number in low..high.
bool ParseNumber(const std::string& text, int64_t low, int64_t high, int64_t* value);
// Decimal digits only, no 0x: station numbers and addresses.
bool ParseDecimal(const std::string& text, int64_t low, int64_t high, int64_t* value);

// Why `text` is not such a number, for a message: "is not a number",
// "is outside 0..255".
std::string NumberProblem(const std::string& text, int64_t low, int64_t high, bool hexAllowed = true);

}  // namespace qvtools
