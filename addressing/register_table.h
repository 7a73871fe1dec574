// The controller's two register areas as the host sees them. A row's
// position is the register type index carried by TagAddress and BlockRequest.
#pragma once

#include "quorvalend/records.h"

namespace quorvalend {

constexpr int32_t kRegisterTableRows = 2;
extern const RegisterTypeEntry kRegisterTable[kRegisterTableRows];

}  // namespace quorvalend
