#include "tests/bench/cpu_bench.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "driver/cquorvalendpro.h"
#include "driver/driver_platform.h"
#include "tests/support/counting_allocator.h"
#include "tests/support/fake_line.h"
#include "tests/support/fixed_reply_port.h"

namespace qvbench {
namespace {

constexpr int kRuns = 7;

// Keeps the compiler from dropping a call whose result is unused.
volatile int32_t sink;

template <typename Call>
double NsPerCall(int calls, Call call) {
  std::vector<double> runs;
  for (int r = 0; r < kRuns; ++r) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) sink = call(i);
    const auto ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    runs.push_back(ns / calls);
  }
  return Percentile(runs, 0.5);
}

// A 32-register read block with items on every register.
struct ReadBlock32 {
  BlockRequest request{};
  BlockItem items[32]{};
  QvListNode nodes[32]{};
  ReadBlock32() {
    request.deviceAddress = 1;
    request.blockName = "Bench";
    request.registerTypeIndex = 0;
    request.dataType = QV_DATA_TYPE_WORD;
    request.startAddress = 0;
    request.endAddress = 31;
    request.operation = QV_OPERATION_READ;
    for (int i = 0; i < 32; ++i) {
      items[i].registerAddress = static_cast<uint16_t>(i);
      nodes[i].data = &items[i];
      nodes[i].next = i < 31 ? &nodes[i + 1] : nullptr;
      nodes[i].prev = i > 0 ? &nodes[i - 1] : nullptr;
    }
    request.items.head = &nodes[0];
    request.items.tail = &nodes[31];
    request.items.count = 32;
  }
};

// The controller's answer to ReadBlock32.
std::string Reply32() {
  std::string reply = "\x06" "010";
  char hex[8];
  for (int i = 0; i < 32; ++i) {
    snprintf(hex, sizeof hex, "%04X", 0x1000 + i);
    reply += hex;
  }
  uint8_t check = 0;
  for (char c : reply) check ^= static_cast<uint8_t>(c);
  snprintf(hex, sizeof hex, "%02X", check);
  return reply + hex + "\r";
}

// The trace and the file it was renamed to past its size limit.
void RemoveTrace(const std::string& path) {
  remove(path.c_str());
  remove((path + ".1").c_str());
}

std::string TraceFile() {
  const char* folder = getenv("TMPDIR");
#ifdef _WIN32
  if (folder == nullptr) folder = getenv("TEMP");
#endif
  std::string path = std::string(folder != nullptr ? folder : "/tmp") + "/qvbench-trace.txt";
  RemoveTrace(path);
  return path;
}

// A driver object on an in-memory line that answers at once.
struct MemoryLine {
  explicit MemoryLine(const std::string& trace = "") {
    if (!trace.empty()) settings.values["Trace"] = trace;
    object = quorvalend::CQuorvalendPro::Create();
    object->portHandle = 1;
  }
  qvtest::FixedReplyPort port;
  qvtest::FakeClock clock;
  qvtest::FakeSettings settings;
  quorvalend::ScopedDriverPlatform scope{quorvalend::DriverPlatform{&port, &clock, &settings}};
  quorvalend::CQuorvalendPro* object = nullptr;
  ~MemoryLine() { object->Release(); }
  IDeviceDriver* Driver() { return object->DeviceDriver(); }
  IDeviceIo* Io() { return object->DeviceIo(); }
};

}  // namespace

void RunCpuBench(int calls, Results* results) {
  MemoryLine line;
  IDeviceDriver* driver = line.Driver();

  const char* texts[] = {"D100", "D8199", "M0010", "M8150"};
  TagDefinition definitions[4]{};
  for (int i = 0; i < 4; ++i) {
    snprintf(definitions[i].addressText, sizeof definitions[i].addressText, "%s", texts[i]);
    definitions[i].dataType = texts[i][0] == 'M' ? QV_DATA_TYPE_BYTE : QV_DATA_TYPE_WORD;
  }
  TagAddress address{};
  results->cpu.push_back({"ParseTag", NsPerCall(calls, [&](int i) {
                            return driver->lpVtbl->ParseTag(driver, &definitions[i & 3], &address);
                          })});

  ReadBlock32 block;
  TagAddress inside{}, outside{};
  driver->lpVtbl->ParseTag(driver, &definitions[0], &inside);
  inside.deviceAddress = 1;
  inside.registerAddress = 20;
  outside = inside;
  outside.registerAddress = 5000;
  results->cpu.push_back({"CanJoinBlock", NsPerCall(calls, [&](int i) {
                            return driver->lpVtbl->CanJoinBlock(driver, i & 1 ? &inside : &outside,
                                                                QV_OPERATION_READ, &block.request);
                          })});

  uint8_t frame[32];
  int32_t length = 0;
  results->cpu.push_back({"BuildRequest", NsPerCall(calls, [&](int) {
                            return line.object->BuildRequest(&block.request, frame, &length);
                          })});

  const std::string reply = Reply32();
  line.port.replies[0] = reply.c_str();
  IDeviceIo* io = line.Io();
  results->cpu.push_back({"ExecuteBlock (32-register read)", NsPerCall(calls, [&](int) {
                            return io->lpVtbl->ExecuteBlock(io, &block.request);
                          })});
  if (block.items[31].value[0] != 0x1F || block.items[31].quality != QV_QUALITY_GOOD) {
    fprintf(stderr, "qvbench: the in-memory read did not decode\n");
    results->cpu.back().nsPerCall = -1;
  }
  // The same transaction with one item: what is left is the fixed cost of
  // a transaction, the difference the decode of 31 more values.
  block.request.items.count = 1;
  results->cpu.push_back({"ExecuteBlock (same reply, 1 item)", NsPerCall(calls, [&](int) {
                            return io->lpVtbl->ExecuteBlock(io, &block.request);
                          })});
  block.request.items.count = 32;

  // The trace's cost: the same read with two lines a transaction appended
  // to a file.
  const std::string tracePath = TraceFile();
  {
    MemoryLine traced(tracePath);
    traced.port.replies[0] = reply.c_str();
    IDeviceIo* tracedIo = traced.Io();
    results->cpu.push_back({"ExecuteBlock (32-register read, trace on)",
                            NsPerCall(calls / 10 + 1, [&](int) {
                              return tracedIo->lpVtbl->ExecuteBlock(tracedIo, &block.request);
                            })});
  }
  RemoveTrace(tracePath);
}

void CountAllocations(int transactions, Results* results) {
  MemoryLine line;
  ReadBlock32 read;
  ReadBlock32 write;
  write.request.operation = QV_OPERATION_WRITE;
  write.request.endAddress = 0;
  write.request.items.count = 1;
  const std::string reply = Reply32();
  line.port.replies[0] = reply.c_str();
  line.port.replies[1] = "\x06" "010" "37\r";
  line.port.replies[2] = "\x15" "01\r";
  line.port.replyCount = 3;
  line.object->replyTimeout = 50;
  IDeviceIo* io = line.Io();

  const long before = qvtest::HeapAllocations();
  for (int i = 0; i < transactions; ++i) io->lpVtbl->ExecuteBlock(io, i % 3 == 1 ? &write.request : &read.request);
  results->allocationsPerTransaction =
      static_cast<double>(qvtest::HeapAllocations() - before) / transactions;
}

}  // namespace qvbench
