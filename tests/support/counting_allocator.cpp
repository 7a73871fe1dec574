#include "tests/support/counting_allocator.h"

#include <stdlib.h>

#include <atomic>
#include <new>

namespace {
std::atomic<long> allocations{0};
}

namespace qvtest {
long HeapAllocations() { return allocations.load(); }
}  // namespace qvtest

#if defined(__GLIBC__)
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* malloc(size_t size) {
  allocations.fetch_add(1);
  return __libc_malloc(size);
}
extern "C" void* calloc(size_t n, size_t size) {
  allocations.fetch_add(1);
  return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, size_t size) {
  allocations.fetch_add(1);
  return __libc_realloc(p, size);
}
#elif defined(_WIN32)
// Linked with --wrap=malloc,calloc,realloc: every reference to them in this
// program, the driver's static library included, lands here.
extern "C" void* __real_malloc(size_t);
extern "C" void* __real_calloc(size_t, size_t);
extern "C" void* __real_realloc(void*, size_t);
extern "C" void* __wrap_malloc(size_t size) {
  allocations.fetch_add(1);
  return __real_malloc(size);
}
extern "C" void* __wrap_calloc(size_t n, size_t size) {
  allocations.fetch_add(1);
  return __real_calloc(n, size);
}
extern "C" void* __wrap_realloc(void* p, size_t size) {
  allocations.fetch_add(1);
  return __real_realloc(p, size);
}
#endif

void* operator new(size_t size) {
  allocations.fetch_add(1);
  void* p = malloc(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }
