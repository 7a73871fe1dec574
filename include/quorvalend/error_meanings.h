/* The English meaning of each of the driver's error codes, for tools and
 * traces; the host shows the driver's own (GBK) message. Header only. */
#ifndef QUORVALEND_ERROR_MEANINGS_H
#define QUORVALEND_ERROR_MEANINGS_H

#include <stdint.h>

/* Codes 0..21; any other code is a system error number a failed port write
 * left, whose message is the driver's "port write failed". */
static inline const char* QvErrorMeaning(int32_t code) {
  static const char* const kMeanings[22] = {
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
  if (code >= 0 && code < 22) return kMeanings[code];
  return "port write failed";
}

#endif
