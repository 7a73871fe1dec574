// Self-registration: the five default values that let the component model
// find the module by class identifier and by ProgID.
#pragma once

#include <stddef.h>

#include "platform/registry.h"
#include "quorvalend/quorvalend.h"

namespace quorvalend {

// The registry self-registration writes to; tests put a fake in its place.
ClassesRegistry& ActiveClassesRegistry();
void SetClassesRegistryForTesting(ClassesRegistry* registry);  // null: the system's

// Replaces "%n" (n = 1..9) by symbol n and copies every other character,
// double-byte characters whole, into `out` (`size` bytes, terminated). A
// missing symbol is replaced by nothing. False when the text does not fit.
bool SubstituteSymbols(const char* pattern, const char* const symbols[9], char* out, size_t size);

// Writes the entries of one class. The first group (ProgID and class keys)
// only where they have no value yet, the second group always; a failed write
// ends its group, and a first-group failure skips the second. Returns false
// when any write failed or nothing could be written.
bool RegisterClassEntries(ClassesRegistry& registry, const CLSID& clsid, const char* progId);

}  // namespace quorvalend
