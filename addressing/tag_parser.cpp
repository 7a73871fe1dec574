#include "addressing/tag_parser.h"

#include <string.h>

namespace quorvalend {
namespace {

constexpr char kBlank = ' ';

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

const RegisterTypeEntry* FindRow(const char* text, const RegisterTypeEntry* table, int32_t rowCount,
                                 int16_t* typeIndex) {
  for (int32_t i = 0; i < rowCount; ++i) {
    const char* prefix = table[i].prefix;
    size_t length = strnlen(prefix, sizeof table[i].prefix);
    if (length > 0 && strncmp(text, prefix, length) == 0) {
      *typeIndex = static_cast<int16_t>(i);
      return &table[i];
    }
  }
  return nullptr;
}

}  // namespace

TagParseResult ParseAddressText(const char* text, int16_t dataType, const RegisterTypeEntry* table,
                                int32_t rowCount) {
  TagParseResult result;

  // A working copy, always terminated: the host's text is never written.
  char buffer[kAddressTextSize + 1] = {};
  if (text != nullptr) {
    memcpy(buffer, text, strnlen(text, kAddressTextSize));
  }

  const char* start = buffer;
  for (int skipped = 0; *start == kBlank && skipped < kMaxLeadingBlanks; ++skipped) ++start;
  if (*start == '\0') {
    result.error = QV_ERR_REGISTER_NAME;
    return result;
  }
  for (size_t end = strlen(start); end > 0 && start[end - 1] == kBlank; --end) {
    buffer[(start - buffer) + end - 1] = '\0';
  }

  const RegisterTypeEntry* row = FindRow(start, table, rowCount, &result.typeIndex);
  if (row == nullptr) {
    result.error = QV_ERR_REGISTER_NAME;
    return result;
  }
  result.reached = TagParseResult::Reached::AddressZeroed;

  const char* digits = start + strnlen(row->prefix, sizeof row->prefix);
  size_t digitCount = strlen(digits);
  if (digitCount == 0) {
    result.error = QV_ERR_REGISTER_DATA_ADDRESS;
    return result;
  }
  for (size_t i = 0; i < digitCount; ++i) {
    if (!IsDigit(digits[i])) {
      result.error = QV_ERR_REGISTER_NAME;
      return result;
    }
  }
  // Only nine digits fit the number field; a longer number is refused rather
  // than cut, so that no other register is named by accident.
  if (digitCount > static_cast<size_t>(kMaxDigits)) {
    result.error = QV_ERR_REGISTER_DATA_ADDRESS;
    return result;
  }

  int32_t number = 0;
  for (size_t i = 0; i < digitCount; ++i) number = number * 10 + (digits[i] - '0');

  // Groups of ten travel as one byte: only the group's first address names it.
  if (result.typeIndex == QV_TYPE_INDEX_M && number % 10 != 0) {
    result.error = QV_ERR_REGISTER_DATA_ADDRESS;
    return result;
  }
  if (number < row->lowestAddress || number > row->highestAddress) {
    result.error = QV_ERR_REGISTER_DATA_ADDRESS;
    return result;
  }
  result.reached = TagParseResult::Reached::AddressParsed;
  result.registerAddress = static_cast<int16_t>(number);
  result.row = row;

  if ((static_cast<uint16_t>(dataType) & (row->dataTypeMask & 0xFFFFu)) == 0) {
    result.error = QV_ERR_TAG_DATA_TYPE;
    return result;
  }
  result.reached = TagParseResult::Reached::Complete;
  return result;
}

}  // namespace quorvalend
