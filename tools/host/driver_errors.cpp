#include "tools/host/driver_errors.h"

#include "quorvalend/error_meanings.h"

namespace qvhost {
namespace {

// The driver's messages in UTF-8, made at build time from the same file as
// its GBK table: the codes in order, then the port-write message.
const char* const kMessages[] = {
#include "error_messages_utf8.inc"
};
constexpr int kCodes = QV_ERROR_CODE_COUNT;
static_assert(sizeof kMessages / sizeof kMessages[0] == kCodes + 1, "the codes and the port-write message");

// Code 8 shares its text with 21; 21 is the one this driver sets.
constexpr int kSharedText = 8;

}  // namespace

DriverError LastDriverError(IDeviceDriver* driver) {
  DriverError error;
  const char* gbk = driver->lpVtbl->GetErrorText(driver);
  if (gbk == nullptr) return error;
  error.text = GbkToUtf8(gbk);
  error.code = kPortWriteFailed;
  for (int code = kCodes - 1; code >= 0; --code) {
    if (code != kSharedText && error.text == kMessages[code]) error.code = code;
  }
  return error;
}

const char* Meaning(int code) {
  if ((code >= 0 && code < kCodes) || code == kPortWriteFailed) return QvErrorMeaning(code);
  if (code == kLineLost) return "line lost";
  return "failed without an error code";
}

std::string Describe(const DriverError& error) {
  std::string text = error.code >= 0 ? "code " + std::to_string(error.code) + ", " : std::string();
  text += Meaning(error.code);
  if (!error.text.empty()) text += " (" + error.text + ")";
  return text;
}

}  // namespace qvhost
