// A transaction allocates nothing on the heap. Every allocation of this
// program is counted, so the count around ExecuteBlock is exact.
#include <stdlib.h>

#include <atomic>
#include <new>

#include "tests/support/driver_handle.h"
#include "tests/support/fake_line.h"

namespace {
std::atomic<long> allocations{0};
}

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
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

namespace qvtest {
namespace {

// A line that answers from fixed buffers, so that nothing but the driver
// could allocate while the count runs.
class FixedReplyPort final : public quorvalend::SerialPort {
 public:
  quorvalend::PortHandle Open(const char*) override { return 1; }
  bool ApplyLineSettings(quorvalend::PortHandle, const quorvalend::LineSettings&) override { return true; }
  void PrepareForPolling(quorvalend::PortHandle) override {}
  bool Close(quorvalend::PortHandle) override { return true; }
  void Purge(quorvalend::PortHandle) override { pending = 0; }
  bool Write(quorvalend::PortHandle, const uint8_t*, int32_t length, int32_t* written, int32_t*) override {
    *written = length;
    ++requests;
    const char* reply = replies[next++ % replyCount];
    pending = static_cast<int32_t>(strlen(reply));
    memcpy(buffer, reply, static_cast<size_t>(pending));
    return true;
  }
  int32_t BytesWaiting(quorvalend::PortHandle) override { return pending; }
  int32_t Read(quorvalend::PortHandle, uint8_t* out, int32_t capacity) override {
    const int32_t n = pending < capacity ? pending : capacity;
    memcpy(out, buffer, static_cast<size_t>(n));
    pending = 0;
    return n;
  }
  const char* replies[5] = {};
  int replyCount = 1;
  int next = 0;
  int requests = 0;
  int32_t pending = 0;
  uint8_t buffer[256] = {};
};

TEST(NoHeap, ExecuteBlockAllocatesNothingForReadsWritesAndFailures) {
  FixedReplyPort port;
  FakeClock clock;
  quorvalend::ScopedDriverPlatform scope(quorvalend::DriverPlatform{&port, &clock});
  DriverHandle driver;
  driver.SetPortHandle(3);
  HostBlock read(1, 0, 8, 0, 31, 0, {0, 5, 31});
  HostBlock write(1, 0, 8, 7, 7, 1, {7});
  HostBlock m(1, 1, 2, 0, 30, 0, {0, 30});
  std::string data;
  for (int i = 0; i < 32; ++i) data += "1234";
  const std::string readReply = "\x06" "010" + data + "00\r";
  port.replies[0] = readReply.c_str();
  port.replies[1] = "\x06" "010" "00\r";
  port.replies[2] = "\x06" "010" "A1B2C3D4" "00\r";
  port.replies[3] = "\x15" "01\r";
  port.replies[4] = "";
  port.replyCount = 5;

  const long before = allocations.load();
  EXPECT_EQ(driver.ExecuteBlock(read), 1);
  EXPECT_EQ(driver.ExecuteBlock(write), 1);
  EXPECT_EQ(driver.ExecuteBlock(m), 1);
  EXPECT_EQ(driver.ExecuteBlock(read), 0);  // NAK
  EXPECT_EQ(driver.ExecuteBlock(write), 0);  // time-out: no reply arrives
  const long during = allocations.load() - before;

  EXPECT_EQ(during, 0);
  EXPECT_EQ(port.requests, 5);
  EXPECT_EQ(read.items[2].GetU32(item::kValue), 0x1234u);
  EXPECT_EQ(m.items[1].bytes[item::kValue], 0xD4);  // M30: the fourth group
}

TEST(NoHeap, TheCounterSeesAllocations) {
  const long before = allocations.load();
  void* p = malloc(16);
  int* q = new int(3);
  EXPECT_GE(allocations.load() - before, 2);
  free(p);
  delete q;
}

}  // namespace
}  // namespace qvtest
