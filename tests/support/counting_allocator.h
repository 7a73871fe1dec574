// Every heap allocation of the program that links counting_allocator.cpp
// is counted, so a count taken around a call is exact. Not for sanitizer
// builds, which own the allocator.
#pragma once

namespace qvtest {

long HeapAllocations();

}  // namespace qvtest
