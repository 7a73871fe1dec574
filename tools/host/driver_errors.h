// A driver failure as a person reads it: the code, what it means in
// English, and the driver's own (Chinese) text. Hosts see only the text;
// the code is found from it.
#pragma once

#include <string>

#include "quorvalend/quorvalend.h"

namespace qvhost {

// The generic message of a failed port write, whose system error number
// the driver keeps but does not name.
constexpr int kPortWriteFailed = -2;
// A failure that left no error text.
constexpr int kNoErrorCode = -1;
// Not the driver's: the host sent nothing, since the line is gone.
constexpr int kLineLost = -3;

struct DriverError {
  int code = kNoErrorCode;
  std::string text;  // UTF-8
};

DriverError LastDriverError(IDeviceDriver* driver);
const char* Meaning(int code);
// "code 5, receive time-out (接收数据超时错误!)"
std::string Describe(const DriverError& error);

// The driver's GBK text in UTF-8 (a console_* file does the conversion).
std::string GbkToUtf8(const char* gbk);

}  // namespace qvhost
