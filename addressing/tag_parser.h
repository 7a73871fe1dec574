// Address text ("D100", "  M0010 ") to register area, number and data type.
//
// The parser works on values only. It reports how far it got, so that the
// caller can reproduce exactly which TagAddress fields a failure leaves
// changed: nothing before a prefix matched, only a zeroed register address
// while the number is checked, the parsed address once the number is good.
#pragma once

#include <stdint.h>

#include "quorvalend/records.h"

namespace quorvalend {

constexpr int kAddressTextSize = 128;
constexpr int kMaxLeadingBlanks = 32;
constexpr int kMaxDigits = 9;

struct TagParseResult {
  enum class Reached {
    Nothing,          // no prefix matched: the TagAddress stays untouched
    AddressZeroed,    // a prefix matched, the number failed
    AddressParsed,    // the number is good; only the data type may still fail
    Complete,
  };
  Reached reached = Reached::Nothing;
  int32_t error = QV_NO_ERROR;  // set when reached != Complete
  int16_t typeIndex = 0;
  int16_t registerAddress = 0;
  const RegisterTypeEntry* row = nullptr;
};

// `text` is read up to its terminator or kAddressTextSize bytes, whichever
// comes first.
TagParseResult ParseAddressText(const char* text, int16_t dataType, const RegisterTypeEntry* table,
                                int32_t rowCount);

}  // namespace quorvalend
