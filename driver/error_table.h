// The driver's messages, GBK-encoded as the host displays them.
#pragma once

#include <stdint.h>

namespace quorvalend {

// The message of `code`: the table's own for 0..21; for any other code (a
// platform error number left by a failed port write) the generic message
// for a failed port write, so the host always has something to show.
const char* ErrorMessage(int32_t code);

}  // namespace quorvalend
