// The Linux module's version, readable without loading it:
//   readelf -p .quorvalend.version Quorvalend.so
// (the Windows module carries its version resource instead).
#include "quorvalend_version.h"

__attribute__((used, section(".quorvalend.version"))) static const char kModuleVersion[] =
    "Quorvalend " QUORVALEND_VERSION_TEXT;
