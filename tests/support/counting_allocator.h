// Every heap allocation of the program that links counting_allocator.cpp
// is counted, so a count taken around a call is exact; and one of them can
// be made to fail, as when memory runs out. Not for sanitizer builds, which
// own the allocator.
#pragma once

namespace qvtest {

long HeapAllocations();

// The allocation after the next `skip` ones fails once: malloc, calloc and
// realloc return null, operator new throws std::bad_alloc.
void FailOneAllocationAfter(long skip);
// Whether the armed failure happened; disarms it.
bool TakeAllocationFailure();

}  // namespace qvtest
