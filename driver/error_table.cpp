#include "driver/error_table.h"

#include "quorvalend/records.h"

namespace quorvalend {
namespace {

// Generated from error_messages.txt by iconv at build time: the 22 codes in
// order, then the generic port-write message.
const char* const kMessages[] = {
#include "error_messages_gbk.inc"
};
static_assert(sizeof kMessages / sizeof kMessages[0] == QV_ERROR_CODE_COUNT + 1,
              "22 messages and the generic one");

constexpr int32_t kGenericWriteFailure = QV_ERROR_CODE_COUNT;

}  // namespace

const char* ErrorMessage(int32_t code) {
  if (code >= 0 && code < QV_ERROR_CODE_COUNT) return kMessages[code];
  return kMessages[kGenericWriteFailure];
}

}  // namespace quorvalend
