#include "tests/support/counting_allocator.h"

#include <stdlib.h>

#include <atomic>
#include <new>

namespace {
std::atomic<long> allocations{0};
// Allocations still to pass before one fails; negative when none is armed.
std::atomic<long> failAfter{-1};
std::atomic<bool> failed{false};

// Counts one allocation; true when it is the one to fail.
bool Count() {
  allocations.fetch_add(1);
  if (failAfter.load() < 0 || failAfter.fetch_sub(1) != 0) return false;
  failed.store(true);
  return true;
}
}  // namespace

namespace qvtest {
long HeapAllocations() { return allocations.load(); }
void FailOneAllocationAfter(long skip) {
  failed.store(false);
  failAfter.store(skip);
}
bool TakeAllocationFailure() {
  failAfter.store(-1);
  return failed.exchange(false);
}
}  // namespace qvtest

#if defined(__GLIBC__)
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* malloc(size_t size) {
  return Count() ? nullptr : __libc_malloc(size);
}
extern "C" void* calloc(size_t n, size_t size) {
  return Count() ? nullptr : __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, size_t size) {
  return Count() ? nullptr : __libc_realloc(p, size);
}
#elif defined(_WIN32)
// Linked with --wrap=malloc,calloc,realloc: every reference to them in this
// program, the driver's static library included, lands here.
extern "C" void* __real_malloc(size_t);
extern "C" void* __real_calloc(size_t, size_t);
extern "C" void* __real_realloc(void*, size_t);
extern "C" void* __wrap_malloc(size_t size) {
  return Count() ? nullptr : __real_malloc(size);
}
extern "C" void* __wrap_calloc(size_t n, size_t size) {
  return Count() ? nullptr : __real_calloc(n, size);
}
extern "C" void* __wrap_realloc(void* p, size_t size) {
  return Count() ? nullptr : __real_realloc(p, size);
}
#endif

// Counted where the memory comes from: malloc.
void* operator new(size_t size) {
  void* p = malloc(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }
