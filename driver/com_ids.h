// The component model's own interface identifiers that the driver answers.
#pragma once

#include <string.h>

#include "quorvalend/quorvalend.h"

namespace quorvalend {

constexpr GUID kIidIUnknown = QV_DEFINE_GUID_VALUE(0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00,
                                                   0x00, 0x00, 0x00, 0x46);
constexpr GUID kIidIClassFactory = QV_DEFINE_GUID_VALUE(0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00,
                                                        0x00, 0x00, 0x00, 0x00, 0x46);
constexpr GUID kIidIDispatch = QV_DEFINE_GUID_VALUE(0x00020400, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00,
                                                    0x00, 0x00, 0x00, 0x46);
constexpr GUID kNullGuid = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// Hosts pass identifiers by address, and a slot declared with a reference
// receives a null one as a reference the compiler may assume valid. Past
// the slot an identifier travels as a pointer; its address is read back
// through a volatile copy so that the test stays.
inline bool IsNullIdentifier(const GUID* id) {
  const GUID* volatile address = id;
  return address == nullptr;
}

// All 16 bytes, as the component model compares identifiers.
inline bool SameGuid(const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }

}  // namespace quorvalend
