#include "module/module_lock.h"

#include <atomic>

namespace quorvalend {
namespace {

std::atomic<int32_t> lockCount{0};

}  // namespace

void LockModule() { lockCount.fetch_add(1); }
void UnlockModule() { lockCount.fetch_sub(1); }
int32_t ModuleLockCount() { return lockCount.load(); }

}  // namespace quorvalend
