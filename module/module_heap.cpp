// The Windows module's own allocation that answers null rather than throw.
// The C++ library's version is an exception handler around the throwing
// one, and would bring the library's unwinder into the module (whose frame
// registration costs a thread handle and an event on every load). These
// take the same C heap that the library's delete gives memory back to.
#include <stdlib.h>

#include <new>

void* operator new(size_t size, const std::nothrow_t&) noexcept { return malloc(size != 0 ? size : 1); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return malloc(size != 0 ? size : 1); }
