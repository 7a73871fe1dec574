#include "tools/qvpoll/driver_errors.h"

namespace qvpoll {
namespace {

// The driver's messages in UTF-8, made at build time from the same file as
// its GBK table: the codes in order, then the port-write message.
const char* const kMessages[] = {
#include "error_messages_utf8.inc"
};
constexpr int kCodes = QV_ERROR_CODE_COUNT;
static_assert(sizeof kMessages / sizeof kMessages[0] == kCodes + 1, "the codes and the port-write message");

const char* const kMeanings[kCodes] = {
    "register name error",
    "network initialisation failed",
    "IP address error",
    "opening the serial port failed",
    "configuring the serial port failed",
    "receive time-out",
    "erroneous data received",
    "register range exceeded",
    "data type error",
    "data type should be BIT",
    "data type should be BYTE",
    "data type should be INT",
    "data type should be UINT",
    "data type should be BCD",
    "data type should be LONG",
    "data type should be LONGBCD",
    "data type should be FLOAT",
    "data type should be STRING",
    "device (station) address error",
    "device name error",
    "register data address error",
    "data type error",
};

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
  if (code >= 0 && code < kCodes) return kMeanings[code];
  if (code == kPortWriteFailed) return "port write failed";
  return "failed without an error code";
}

std::string Describe(const DriverError& error) {
  std::string text = error.code >= 0 ? "code " + std::to_string(error.code) + ", " : std::string();
  text += Meaning(error.code);
  if (!error.text.empty()) text += " (" + error.text + ")";
  return text;
}

}  // namespace qvpoll
