// Station numbers as the host types them: "7", " 31", "+7", "255".
#pragma once

#include <stdint.h>

namespace quorvalend {

// Reads the text the way the C library's atoi does (with 32-bit wrap-around
// instead of undefined overflow), reduces it to 16 bits and accepts 0..31 and
// 255. On success stores the station number; otherwise leaves it alone.
bool ParseStationNumber(const char* text, int32_t* station);

}  // namespace quorvalend
